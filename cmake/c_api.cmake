# libostrel: the C interface (include/ostrel/ostrel.h) over the core, as a shared and a static
# library; its C tests and examples; and what `make install` puts under a prefix (header,
# libraries, a pkg-config file and a CMake package).
include(GNUInstallDirs)

file(GLOB OSTREL_C_API_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/c_api/*.cc)
add_library(ostrel_c_api_objects OBJECT ${OSTREL_C_API_SOURCES})
target_include_directories(ostrel_c_api_objects PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(ostrel_c_api_objects PRIVATE OSTREL_BUILDING_LIBRARY OSTREL_VERSION_STRING="${PROJECT_VERSION}")
set_target_properties(ostrel_c_api_objects PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

# The shared library exports the ostrel_* functions only: the core's C++ symbols stay inside.
add_library(ostrel SHARED $<TARGET_OBJECTS:ostrel_c_api_objects>)
target_link_libraries(ostrel PRIVATE ostrel_core)
target_link_options(ostrel PRIVATE -Wl,--exclude-libs,ALL -Wl,--no-undefined)
target_include_directories(ostrel PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
set_target_properties(ostrel PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 1)

add_library(ostrel_static STATIC $<TARGET_OBJECTS:ostrel_c_api_objects> $<TARGET_OBJECTS:ostrel_core_objects>)
target_include_directories(ostrel_static PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
target_link_libraries(ostrel_static INTERFACE Threads::Threads stdc++ m)
set_target_properties(ostrel_static PROPERTIES OUTPUT_NAME ostrel)

# The examples: a producer writing frames into a ring, a consumer decoding them with the window.
foreach(example producer consumer)
  add_executable(ostrel_example_${example} ${PROJECT_SOURCE_DIR}/examples/c/${example}.c)
  target_link_libraries(ostrel_example_${example} PRIVATE ostrel)
  set_target_properties(ostrel_example_${example} PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/examples)
endforeach()

# The ring against loopback TCP, and the sliding window behind the ring (`make bench-shm`).
add_executable(shm_latency ${PROJECT_SOURCE_DIR}/bench/shm_latency.c)
target_link_libraries(shm_latency PRIVATE ostrel Threads::Threads)
set_target_properties(shm_latency PROPERTIES C_STANDARD 99 RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_executable(shm_soak ${PROJECT_SOURCE_DIR}/bench/shm_soak.c)
target_link_libraries(shm_soak PRIVATE ostrel)
set_target_properties(shm_soak PROPERTIES C_STANDARD 99 RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)

install(FILES ${PROJECT_SOURCE_DIR}/include/ostrel/ostrel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostrel)
install(TARGETS ostrel ostrel_static LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# Both files find the prefix from where they lie, so `cmake --install --prefix` may choose it late.
file(RELATIVE_PATH OSTREL_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
file(RELATIVE_PATH OSTREL_CONFIG_TO_LIBDIR "/p/${CMAKE_INSTALL_LIBDIR}/cmake/ostrel" "/p/${CMAKE_INSTALL_LIBDIR}")
file(RELATIVE_PATH OSTREL_CONFIG_TO_INCLUDEDIR "/p/${CMAKE_INSTALL_LIBDIR}/cmake/ostrel" "/p/${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/ostrel.pc.in ${CMAKE_BINARY_DIR}/ostrel.pc @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/ostrelConfig.cmake.in ${CMAKE_BINARY_DIR}/ostrelConfig.cmake @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ostrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ostrelConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/ostrelConfig.cmake ${CMAKE_BINARY_DIR}/ostrelConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ostrel)

if(OSTREL_BUILD_TESTS)
  enable_testing()
  # The C interface's tests are C programs (C99, no test framework): each exits non-zero on failure.
  file(GLOB OSTREL_C_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/c_api/*.test.c)
  foreach(source ${OSTREL_C_TEST_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    add_executable(c_api_${name}_test ${source})
    target_link_libraries(c_api_${name}_test PRIVATE ostrel)
    set_target_properties(c_api_${name}_test PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
    target_include_directories(c_api_${name}_test PRIVATE ${PROJECT_SOURCE_DIR}/src)
    # The models every front door refuses, one table for the C and the Python tests.
    target_compile_definitions(c_api_${name}_test PRIVATE
                               OSTREL_REFUSAL_TABLE="${PROJECT_SOURCE_DIR}/tests/model_refusals.txt")
    add_test(NAME c_api.${name} COMMAND c_api_${name}_test ${PROJECT_SOURCE_DIR}/examples/c/repetition_d5.dem)
    set_tests_properties(c_api.${name} PROPERTIES TIMEOUT 60)
  endforeach()
  add_test(NAME c_api.examples COMMAND sh ${PROJECT_SOURCE_DIR}/examples/c/run_examples.sh ${CMAKE_BINARY_DIR}/examples)
  set_tests_properties(c_api.examples PROPERTIES TIMEOUT 60)
  # A project outside the tree links without the sanitizers, so this one runs in plain builds.
  if(NOT OSTREL_SANITIZE)
    add_test(NAME c_api.install COMMAND sh ${PROJECT_SOURCE_DIR}/examples/c/check_install.sh ${CMAKE_COMMAND}
             ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/install-check)
    set_tests_properties(c_api.install PROPERTIES TIMEOUT 120)
  endif()
endif()

# The entry points: `make demo` runs the main job, `make test` runs every test, `make bench` times.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
BUILD ?= build
CMAKE_ARGS ?=
export PYTHONPATH := $(CURDIR)/$(BUILD)/python:$(CURDIR)/python

.PHONY: all build build-tests install bench-shm gtest test test-cpp test-py demo bench asan fuzz fuzz-build clang soak clean

all: build

$(VENV)/.installed: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt cmake ninja
	touch $@

# The module and the core only: the C++ unit tests (and GoogleTest) are left to the test targets.
$(BUILD)/build.ninja: $(VENV)/.installed CMakeLists.txt
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) $(CMAKE_ARGS)

build: $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD)

# GoogleTest for the C++ unit tests: installed when missing and this user can (root with apt-get),
# otherwise one line saying what to install.
GTEST_HEADER ?= $(firstword $(wildcard /usr/include/gtest/gtest.h /usr/local/include/gtest/gtest.h))
APT_GET ?= apt-get
gtest:
	@if [ -z "$(GTEST_HEADER)" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v $(APT_GET) >/dev/null 2>&1; then \
	    echo "installing GoogleTest (libgtest-dev) for the C++ unit tests"; \
	    DEBIAN_FRONTEND=noninteractive $(APT_GET) update -qq && \
	    DEBIAN_FRONTEND=noninteractive $(APT_GET) install -y -qq libgtest-dev >/dev/null; \
	  else \
	    echo "make test needs GoogleTest for the C++ unit tests: install libgtest-dev (sudo apt-get install libgtest-dev)"; \
	    exit 1; \
	  fi; \
	fi

build-tests: gtest $(BUILD)/build.ninja
	$(CMAKE) -S . -B $(BUILD) -DOSTREL_BUILD_TESTS=ON >/dev/null
	$(CMAKE) --build $(BUILD)

# The C interface under PREFIX: header, libostrel (shared and static), pkg-config file, CMake package.
PREFIX ?= /usr/local
install: build
	$(CMAKE) --install $(BUILD) --prefix $(PREFIX)

test-cpp: build-tests
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure

test-py: build
	$(VPY) -m pytest -q tests

test: test-cpp test-py

demo: build
	$(VPY) -m ostrel demo

bench: build
	$(VPY) bench/read_throughput.py

# The shared-memory ring against loopback TCP, and the sliding window behind the ring (C).
bench-shm: build
	$(VPY) bench/shm_latency.py --build $(BUILD)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	$(MAKE) BUILD=build-asan CMAKE_ARGS="-DOSTREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug" build-tests
	ASAN_OPTIONS=allocator_may_return_null=1 $(VENV)/bin/ctest --test-dir build-asan --output-on-failure
	OSTREL_SANITIZED=1 ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(VPY) -m pytest -q -x -p no:cacheprovider -o pythonpath="build-asan/python python" tests

# Coverage-guided fuzzing (clang's libFuzzer with ASan+UBSan): every harness in fuzz/ for
# FUZZ_SECONDS each, starting from the seeds in fuzz/corpus/<name>; what it learns is kept in
# build-fuzz/corpus/<name>, and a crash leaves its input in build-fuzz/.
FUZZ_SECONDS ?= 180
FUZZ_HARNESSES := $(patsubst fuzz/%.cc,%,$(wildcard fuzz/*_fuzz.cc))
clang:
	@if ! command -v clang++ >/dev/null 2>&1 || ! clang++ -fsanitize=fuzzer -x c++ /dev/null -o /dev/null 2>/dev/null; then \
	  if [ "$$(id -u)" = 0 ] && command -v $(APT_GET) >/dev/null 2>&1; then \
	    echo "installing clang and its fuzzing runtime"; \
	    DEBIAN_FRONTEND=noninteractive $(APT_GET) update -qq && \
	    DEBIAN_FRONTEND=noninteractive $(APT_GET) install -y -qq clang >/dev/null && \
	    v=$$(clang++ -dumpversion | cut -d. -f1) && \
	    DEBIAN_FRONTEND=noninteractive $(APT_GET) install -y -qq libclang-rt-$$v-dev >/dev/null 2>&1 || true; \
	  else \
	    echo "make fuzz needs clang with libFuzzer: install clang and libclang-rt-dev (sudo apt-get install clang libclang-rt-14-dev)"; \
	    exit 1; \
	  fi; \
	fi

fuzz-build: clang $(VENV)/.installed
	$(CMAKE) -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DOSTREL_FUZZ=ON -DOSTREL_BUILD_MODULE=OFF -DOSTREL_BUILD_TESTS=OFF >/dev/null
	$(CMAKE) --build build-fuzz

fuzz: fuzz-build
	@for h in $(FUZZ_HARNESSES); do \
	  mkdir -p build-fuzz/corpus/$$h && \
	  echo "== $$h for $(FUZZ_SECONDS) s" && \
	  build-fuzz/fuzz/$$h build-fuzz/corpus/$$h fuzz/corpus/$$h -max_total_time=$(FUZZ_SECONDS) \
	    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build-fuzz/$$h- 2>build-fuzz/$$h.log; \
	  rc=$$?; grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+[[:space:]]+DONE)" build-fuzz/$$h.log; \
	  if [ $$rc -ne 0 ]; then tail -n 60 build-fuzz/$$h.log; exit $$rc; fi; \
	done

# Long runs (not in CI): millions of frames through a decoding stream, many open/close cycles,
# with resident memory, descriptors and threads printed at the start and the end; then
# SHM_SOAK_FRAMES frames through a shared-memory ring whose producer is killed at random points.
SHM_SOAK_FRAMES ?= 100000000
soak: build
	$(VPY) bench/soak.py
	$(BUILD)/bench/shm_soak $(SHM_SOAK_FRAMES)

clean:
	rm -rf $(BUILD) build-asan build-fuzz

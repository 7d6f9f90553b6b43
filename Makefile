# The entry points: `make demo` runs the main job, `make test` runs every test, `make bench` times.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD ?= build
CMAKE_ARGS ?=
export PYTHONPATH := $(CURDIR)/$(BUILD)/python:$(CURDIR)/python

.PHONY: all build test test-cpp test-py demo bench asan clean

all: build

$(VENV)/.installed: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt cmake ninja
	touch $@

$(BUILD)/build.ninja: $(VENV)/.installed CMakeLists.txt
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) $(CMAKE_ARGS)

build: $(BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(BUILD)

test-cpp: build
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure

test-py: build
	$(VPY) -m pytest -q tests

test: test-cpp test-py

demo: build
	$(VPY) -m ostrel demo

bench: build
	$(VPY) bench/read_throughput.py

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	$(MAKE) BUILD=build-asan CMAKE_ARGS="-DOSTREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug" build
	ASAN_OPTIONS=allocator_may_return_null=1 $(VENV)/bin/ctest --test-dir build-asan --output-on-failure
	OSTREL_SANITIZED=1 ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(VPY) -m pytest -q -x -p no:cacheprovider -o pythonpath="build-asan/python python" tests

clean:
	rm -rf $(BUILD) build-asan

# Thin wrapper over CMake presets. `make test` is the one command CI runs.
PRESET ?= default
JOBS ?= 2

.PHONY: all setup configure build test demo clean

all: build

setup:
	@scripts/setup.sh

configure: setup
	cmake --preset $(PRESET)

build: configure
	cmake --build --preset $(PRESET) -j $(JOBS)

test: build
	ctest --preset $(PRESET) -j $(JOBS)

demo: build
	@scripts/demo.sh build

# Builds every program in bench/ and runs them one after the other (they print
# figures; a missed goal fails the target after all have run).
.PHONY: bench
bench: configure
	cmake --build --preset $(PRESET) -j $(JOBS) --target run_benchmarks

clean:
	rm -rf build build-debug

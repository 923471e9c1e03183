# Thin wrapper over CMake presets. `make test` is the one command CI runs first;
# .ci/run then runs `make asan` and `make fuzz`.
PRESET ?= default
JOBS ?= 2

.PHONY: all setup configure build test demo package clean asan fuzz fuzz-build fuzz-long

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

# The Debian package of the build (build/brivel_<version>_<arch>.deb).
package: build
	cmake --build --preset $(PRESET) --target package

# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/); the first finding fails the run.
asan:
	$(MAKE) test PRESET=asan

# The libFuzzer targets (clang, build-fuzz/), each for a short fixed number of runs.
fuzz-build: setup
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS) --target fuzz_all

fuzz: fuzz-build
	scripts/fuzz.sh

# Each target for 10^7 executions, one after another, growing build-fuzz/fuzz-corpus.
fuzz-long: fuzz-build
	scripts/fuzz.sh --runs 10000000 --keep

# Builds every program in bench/ and runs them one after the other (they print
# figures; a missed goal fails the target after all have run).
.PHONY: bench
bench: configure
	cmake --build --preset $(PRESET) -j $(JOBS) --target run_benchmarks

# Figures of brivel-ioc and the Bluesky device against the simulated controller
# (python/bench/epics_bench.py, in .venv/epics; a missed goal fails the target).
.PHONY: bench-epics
bench-epics: build
	PYTHONPATH=build/python/package .venv/epics/bin/python python/bench/epics_bench.py

clean:
	rm -rf build build-asan build-fuzz

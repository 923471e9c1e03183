# Thin wrapper over CMake presets. `make test` is the one command CI runs first;
# .ci/run then runs `make asan` and `make fuzz`.
#
# Each target first runs scripts/setup.sh with the group of Debian packages it needs
# (SETUP_GROUP below): `make demo` installs only what the demo builds with, `make test`
# everything the whole suite needs.
PRESET ?= default
JOBS ?= 2
SETUP_GROUP ?= build

.PHONY: all setup configure build test demo package clean asan fuzz fuzz-build fuzz-long

all: build

# The group a target installs; its prerequisites (setup) inherit it.
demo: SETUP_GROUP = demo
test: SETUP_GROUP = test
package: SETUP_GROUP = package
fuzz-build: SETUP_GROUP = fuzz
bench: SETUP_GROUP = bench

setup:
	@scripts/setup.sh $(SETUP_GROUP)

configure: setup
	cmake --preset $(PRESET)

build: configure
	cmake --build --preset $(PRESET) -j $(JOBS)

test: build
	ctest --preset $(PRESET) -j $(JOBS)

# Builds brivel-demo and brivel-sim only (the CMake target `demo`), not the tests.
demo: configure
	cmake --build --preset $(PRESET) -j $(JOBS) --target demo
	@scripts/demo.sh build

# The Debian packages of the build, in build/packages/ (docs/packaging.md): builds
# what they hold (the CMake target `packaged`), then runs CPack.
package: configure
	cmake --build --preset $(PRESET) -j $(JOBS) --target packaged
	cpack --config build/CPackConfig.cmake -B build/packages
	@ls build/packages/*.deb

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
# figures; a missed goal fails the target after all have run), then the Python
# package's figures (python/bench).
.PHONY: bench
bench: configure
	cmake --build --preset $(PRESET) -j $(JOBS) --target run_benchmarks brivel_python
	PYTHONPATH=build/python/package /usr/bin/python3 python/bench/bench_python.py

# Figures of brivel-ioc and the Bluesky device against the simulated controller
# (python/bench/epics_bench.py, in .venv/epics; a missed goal fails the target).
.PHONY: bench-epics
bench-epics: build
	PYTHONPATH=build/python/package .venv/epics/bin/python python/bench/epics_bench.py

clean:
	rm -rf build build-asan build-fuzz

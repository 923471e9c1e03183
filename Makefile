# Thin wrapper over CMake presets. `make test` is the one command CI runs.
PRESET ?= default
JOBS ?= 2

.PHONY: all setup configure build test demo package clean

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

clean:
	rm -rf build build-debug

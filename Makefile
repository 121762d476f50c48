# Thin wrapper over CMake presets and CTest. See README.md.
.PHONY: all deps dll native test demo dist bench fuzz clean

JOBS ?= $(shell nproc)

all: dll native

deps:
	@scripts/ensure-deps.sh

dll: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j $(JOBS)
	cmake --preset win64 >/dev/null
	cmake --build --preset win64 -j $(JOBS)

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)

test: dll native
	ctest --preset native -j $(JOBS)

demo: dll native
	scripts/demo.sh

clean:
	rm -rf build

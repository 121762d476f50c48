# Thin wrapper over CMake presets and CTest. See README.md.
.PHONY: all deps dll native asan tsan test test-xp demo dist bench fuzz clean

JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory

# configure PRESET: configures once, then only when CMake asks for it itself.
configure = test -f build/$(1)/build.ninja || cmake --preset $(1) >/dev/null

all: dll native

deps:
	@scripts/ensure-deps.sh

dll: deps
	@$(call configure,win32)
	cmake --build --preset win32 -j $(JOBS)
	@$(call configure,win64)
	cmake --build --preset win64 -j $(JOBS)

native: deps
	@$(call configure,native)
	cmake --build --preset native -j $(JOBS)

# The unit, double, board, POSIX, session and settings suites again under AddressSanitizer
# and UndefinedBehaviorSanitizer.
ASAN_TARGETS = unit_tests double_tests korvex_board_tests posix_platform_test driver_session_test \
  thread_stress_test settings_core_test
ASAN_TESTS = ^(unit|double|board|posix|session|settings)\.

asan: deps
	@$(call configure,asan)
	cmake --build --preset asan -j $(JOBS) --target $(ASAN_TARGETS)

# The tests with threads again under ThreadSanitizer: any report fails them.
TSAN_TARGETS = thread_stress_test
TSAN_TESTS = ^session\.ThreadStress\.

tsan: deps
	@$(call configure,tsan)
	cmake --build --preset tsan -j $(JOBS) --target $(TSAN_TARGETS)

test: dll native asan tsan
	ctest --preset native -j $(JOBS)
	ctest --preset asan -j $(JOBS) -R '$(ASAN_TESTS)'
	ctest --preset tsan -j $(JOBS) -R '$(TSAN_TESTS)'

# The i686 suites once more, with Wine telling their programs they run on
# Windows XP SP3 (a per-program setting, put back afterwards). Not part of
# make test: the 64-bit suites run programs of the same names.
test-xp: dll native
	scripts/wine-xp-run.sh

# Only what the demos run: both DLLs, the host tool, the board emulator.
demo: deps
	@$(call configure,win32)
	cmake --build --preset win32 -j $(JOBS) --target Korvex korvex-host
	@$(call configure,win64)
	cmake --build --preset win64 -j $(JOBS) --target Korvex korvex-host
	@$(call configure,native)
	cmake --build --preset native -j $(JOBS) --target korvex-board
	scripts/demo.sh

dist: dll
	scripts/dist.sh

# The fuzzer for as long as asked: make fuzz FUZZ_SECONDS=3600
FUZZ_SECONDS ?= 600
fuzz: native
	fuzz/run.sh $(FUZZ_SECONDS)

# Encoding benchmarks (about half a minute); see docs/PERFORMANCE.md.
bench: deps
	@$(call configure,native)
	cmake --build --preset native --target korvex_bench -j $(JOBS)
	./build/native/korvex_bench --benchmark_min_time=0.1 --benchmark_repetitions=3

clean:
	rm -rf build

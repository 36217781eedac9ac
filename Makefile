# The two commands a new user needs:
#   make       set up what is missing, build, package into dist/ and run the demo
#   make test  set up, build and run every test
# Also: make bench (benchmarks under Wine), make fuzz (fuzz sndlatch-patch for
# FUZZ_TIME seconds), make clean.
BUILD ?= build
MAKEFLAGS += --no-print-directory
# The 64-bit drop-in winmm.dll, its tests and benchmark: the same project
# configured for x86-64. The 32-bit build packages its winmm.dll from there.
BUILD64 = $(BUILD)/x64
NATIVE = $(BUILD)/native
NATIVE_ASAN = $(BUILD)/native-asan
NATIVE_MIX = $(BUILD)/native-mix
NATIVE_MIX_ASAN = $(BUILD)/native-mix-asan
FUZZ_TIME ?= 600
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS = -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
CMAKE_FLAGS64 = -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release

.PHONY: all setup build native native-asan package demo test fuzz bench clean

all: package demo

setup:
	@bash tools/setup.sh

# The DLL, sndlatch-patch.exe, both drop-ins, the demo and the Windows test
# programs.
build: setup
	@cmake -S . -B $(BUILD64) $(CMAKE_FLAGS64) --log-level=WARNING
	@cmake --build $(BUILD64) -j $(JOBS)
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) --log-level=WARNING
	@cmake --build $(BUILD) -j $(JOBS)

# sndlatch-patch for this machine, statically linked, and its unit tests;
# the drop-in's mixer, its tests and benchmark.
native: build
	@cmake -S patcher -B $(NATIVE) -DCMAKE_BUILD_TYPE=Release \
	  -DSNDLATCH_DLL=$(CURDIR)/$(BUILD)/module/sndlatch.dll --log-level=WARNING
	@cmake --build $(NATIVE) -j $(JOBS)
	@cmake -S dropin/mix -B $(NATIVE_MIX) -DCMAKE_BUILD_TYPE=Release --log-level=WARNING
	@cmake --build $(NATIVE_MIX) -j $(JOBS)

# sndlatch-patch and its unit tests again, built by clang with AddressSanitizer
# and UndefinedBehaviorSanitizer, plus its libFuzzer target; the mixer's tests
# likewise.
native-asan: setup
	@cmake -S patcher -B $(NATIVE_ASAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSNDLATCH_SANITIZE=ON --log-level=WARNING
	@cmake --build $(NATIVE_ASAN) -j $(JOBS)
	@cmake -S dropin/mix -B $(NATIVE_MIX_ASAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSNDLATCH_SANITIZE=ON --log-level=WARNING
	@cmake --build $(NATIVE_MIX_ASAN) -j $(JOBS)

# dist/sndlatch-VERSION-win32.zip and, beside it, the Linux release
# dist/sndlatch-VERSION-linux-x86_64.tar.gz with the static native tool.
package: build native
	@rm -f $(BUILD)/cpack/*.zip
	@cd $(BUILD) && cpack -G ZIP >/dev/null
	@mkdir -p dist
	@cp $(BUILD)/cpack/sndlatch-*-win32.zip dist/
	@echo "packaged: $$(ls dist/sndlatch-*-win32.zip)"
	@echo "packaged: $$(sh package/linux_release.sh $$(ls $(BUILD)/cpack/sndlatch-*-win32.zip) \
	  $(NATIVE)/sndlatch-patch dist)"

demo: build native
	@bash demo/run.sh $(BUILD) $(NATIVE)/sndlatch-patch

test: build native native-asan
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@cd $(BUILD64) && ctest --output-on-failure -j $(JOBS)
	@cd $(NATIVE) && ctest --output-on-failure -j $(JOBS)
	@cd $(NATIVE_ASAN) && ctest --output-on-failure -j $(JOBS)
	@cd $(NATIVE_MIX) && ctest --output-on-failure -j $(JOBS)
	@cd $(NATIVE_MIX_ASAN) && ctest --output-on-failure -j $(JOBS)

# Fuzzes sndlatch-patch for FUZZ_TIME seconds: make fuzz FUZZ_TIME=3600
fuzz: native-asan
	@sh tests/fuzz/run.sh $(NATIVE_ASAN)/fuzz/patch_fuzz $(NATIVE_ASAN)/tests/hosts $(NATIVE_ASAN)/fuzz $(FUZZ_TIME)

# One table: each path of the DLL and of both drop-ins against its floor
# under Wine, and the patcher against a plain copy; then the mixer's cost on
# this machine. Not part of test.
bench: build native
	@cmake --build $(BUILD) --target bench_programs -j $(JOBS)
	@cmake --build $(BUILD64) --target bench_programs -j $(JOBS)
	@bash bench/run.sh $(BUILD)
	@$(NATIVE_MIX)/mix_bench

clean:
	rm -rf $(BUILD) dist

# The two commands a new user needs:
#   make       set up what is missing, build, package into dist/ and run the demo
#   make test  set up, build and run every test
# Also: make bench (benchmarks under Wine), make clean.
BUILD ?= build
MAKEFLAGS += --no-print-directory
NATIVE = $(BUILD)/native
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS = -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release

.PHONY: all setup build native package demo test bench clean

all: package demo

setup:
	@bash tools/setup.sh

# The DLL, sndlatch-patch.exe, the demo and the Windows test programs.
build: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) --log-level=WARNING
	@cmake --build $(BUILD) -j $(JOBS)

# sndlatch-patch for this machine, and its unit tests.
native: build
	@cmake -S patcher -B $(NATIVE) -DCMAKE_BUILD_TYPE=Release \
	  -DSNDLATCH_DLL=$(CURDIR)/$(BUILD)/module/sndlatch.dll --log-level=WARNING
	@cmake --build $(NATIVE) -j $(JOBS)

package: build
	@rm -f $(BUILD)/cpack/*.zip
	@cd $(BUILD) && cpack -G ZIP >/dev/null
	@mkdir -p dist
	@cp $(BUILD)/cpack/sndlatch-*-win32.zip dist/
	@echo "packaged: $$(ls dist/sndlatch-*-win32.zip)"

demo: build native
	@bash demo/run.sh $(BUILD) $(NATIVE)/sndlatch-patch

test: build native
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@cd $(NATIVE) && ctest --output-on-failure -j $(JOBS)

# One table: each path of the DLL against its floor under Wine, and the
# patcher against a plain copy. Not part of test.
bench: build native
	@cmake --build $(BUILD) --target bench_programs -j $(JOBS)
	@bash bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) dist

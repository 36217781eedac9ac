# The two commands a new user needs:
#   make       set up what is missing, then build sndlatch.dll
#   make test  set up, build and run every test
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS = -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release

.PHONY: all setup configure build test clean

all: build

setup:
	@bash tools/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) --log-level=WARNING

build: configure
	@cmake --build $(BUILD) -j $(JOBS)
	@echo "built $(BUILD)/module/sndlatch.dll"

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) dist

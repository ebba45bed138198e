# Top-level commands. `make demo` runs the main job, `make check` runs every test.
# Both first install what is missing (scripts/setup.sh) on a Debian 12 machine.
#
#   BUILD=dir   build tree (default: build); holds host/, win32/, win64/, wine/
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
ROOT := $(abspath .)
B := $(abspath $(BUILD))
export QV_WINE_DIR := $(B)/wine
HARNESS := $(ROOT)/tests/harness/wine.sh
# The Windows build the tests run under Wine: i686 where this machine runs
# 32-bit code, x86_64 (under wine64) where it cannot.
export QV_WINE_ARCH ?= $(shell $(HARNESS) arch)
export QV_WIN32_BIN := $(B)/$(QV_WINE_ARCH)/bin

.PHONY: all setup configure build check demo fuzz clean

all: build

setup:
	@scripts/setup.sh

$(B)/host/build.ninja:
	cmake -S . -B $(B)/host -G Ninja -DCMAKE_BUILD_TYPE=Debug
$(B)/win32/build.ninja:
	cmake -S . -B $(B)/win32 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	      -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/toolchain-i686-w64-mingw32.cmake
$(B)/win64/build.ninja:
	cmake -S . -B $(B)/win64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	      -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/toolchain-x86_64-w64-mingw32.cmake

configure: setup $(B)/host/build.ninja $(B)/win32/build.ninja $(B)/win64/build.ninja

build: configure
	cmake --build $(B)/win32 -j $(JOBS)
	cmake --build $(B)/host -j $(JOBS)
	cmake --build $(B)/win64 -j $(JOBS)

# Host unit tests, Wine unit tests and end-to-end tests; any failure fails the run.
check: build
	@rc=0; \
	ctest --test-dir $(B)/host --output-on-failure || rc=1; \
	ctest --test-dir $(B)/$(QV_WINE_ARCH) --output-on-failure || rc=1; \
	exit $$rc

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/setup.sh fuzz
	CC=clang CXX=clang++ cmake -S . -B $(B)/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_FUZZ=ON
	cmake --build $(B)/fuzz -j $(JOBS) --target fuzz_targets
	@scripts/fuzz.sh $(B)/fuzz $(FUZZ_SECONDS)

demo: build
	@$(ROOT)/tools/demo.sh

clean:
	rm -rf $(B)

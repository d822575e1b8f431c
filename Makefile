# Two commands for a fresh clone: `make run` (or `make run ROM=path/to/image.gba`) and `make test`.
# `make check` is the quick loop while working: what `make test` runs, less the ctest label slow.
BUILD := build
SANITIZE_BUILD := build-sanitize
WINDOWS_BUILD := build-win
WINDOWS64_BUILD := build-win64
ARM64_BUILD := build-arm64
ARMHF_BUILD := build-armhf
WEB_BUILD := build-web
VERSION := $(shell sed -n '/^project/s/.* VERSION //p' CMakeLists.txt | cut -d' ' -f1)
JOBS := 2
ENSURE := scripts/ensure-packages
# Warnings are errors here; a plain cmake build leaves them warnings.
STRICT := -DHALVEK_WERROR=ON

.PHONY: build run check-build check case test lint windows test-windows arm web package bare-test old-debian-test install-test clean

build:
	$(ENSURE) build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(STRICT)
	cmake --build $(BUILD) -j $(JOBS)

# Without ROM, patches a copy of the bundled sample in $(BUILD)/demo.
run: build
ifdef ROM
	$(BUILD)/halvek "$(ROM)"
else
	mkdir -p $(BUILD)/demo
	cp examples/sample.gba $(BUILD)/demo/sample.gba
	cd $(BUILD)/demo && ../halvek sample.gba
endif

# The ARM programs, static like the x86-64 one, for the tests (under emulation) and the packages.
arm:
	$(ENSURE) build arm
	cmake -S . -B $(ARM64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/linux-aarch64.cmake -DCMAKE_BUILD_TYPE=Release $(STRICT)
	cmake --build $(ARM64_BUILD) -j $(JOBS)
	cmake -S . -B $(ARMHF_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/linux-armhf.cmake -DCMAKE_BUILD_TYPE=Release $(STRICT)
	cmake --build $(ARMHF_BUILD) -j $(JOBS)

# The web page in $(WEB_BUILD)/, ready to host or to open from disk: the header code compiled to
# WebAssembly with clang 16 and Debian's wasi-libc and libc++ for wasm32, its bytes written into
# halvek.js in base64, since a page opened from disk cannot fetch a file; so are the console
# program's texts, read from tool/texts.hpp. The two zip libraries web/package-lock.json pins
# are copied in as plain scripts, with their licenses.
web:
	$(ENSURE) web
	rm -rf $(WEB_BUILD)
	mkdir -p $(WEB_BUILD)
	clang++-16 --target=wasm32-wasi --sysroot=/usr -isystem /usr/lib/llvm-16/include/wasm32-wasi/c++/v1 \
	    -std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror -Iheader -nostartfiles -Wl,--no-entry -Wl,--strip-all \
	    -o $(WEB_BUILD)/halvek.wasm header/cartridge_header.cpp web/patch_module.cpp
	scripts/texts.py >$(WEB_BUILD)/texts.json
	sed -e 's/@VERSION@/$(VERSION)/' -e "s|@MODULE@|$$(base64 -w0 $(WEB_BUILD)/halvek.wasm)|" \
	    -e "s|@TEXTS@|$$(base64 -w0 $(WEB_BUILD)/texts.json)|" web/halvek.js >$(WEB_BUILD)/halvek.js
	rm $(WEB_BUILD)/halvek.wasm $(WEB_BUILD)/texts.json
	cp web/index.html web/names.js web/sorting.js web/zips.js web/saving.js web/drops.js web/style.css \
	    web/service-worker.js web/halvek.webmanifest web/icon.svg $(WEB_BUILD)/
	cp web/node_modules/fflate/umd/index.js $(WEB_BUILD)/fflate.js
	cp web/node_modules/client-zip/worker.js $(WEB_BUILD)/client-zip.js
	for library in fflate client-zip; do \
	    sed -n 's/^  "version": "\(.*\)",$$/'"$$library"' \1, under this license:/p' web/node_modules/$$library/package.json; \
	    cat web/node_modules/$$library/LICENSE*; echo; \
	done >$(WEB_BUILD)/LICENSES.txt

# The build the tests run against, brought up to date first: a test never runs a stale program.
check-build:
	$(ENSURE) build check
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DHALVEK_TESTS=ON $(STRICT)
	cmake --build $(BUILD) -j $(JOBS)

# The header tests and the end-to-end cases of this build that are not labelled slow: not the
# 4 GiB image, the ARM programs, the web page or the packages, nor the sanitizer build.
# `make check ONLY=REGEX` runs the ctest entries whose names match instead, slow or not, and
# shows each case and why one was skipped.
check: check-build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(if $(ONLY),-V -R '$(ONLY)',--label-exclude slow)

# One end-to-end case, or a group of them, named as in tests/cli_test.py:
# `make case CASE=OpenFailures.test_inputs_that_cannot_be_opened`.
case: check-build
	WITHOUT_UNNAMED_FILES=$(BUILD)/tests/without_unnamed_files python3 tests/cli_test.py $(BUILD)/halvek -- $(CASE)

test: arm web
	$(ENSURE) build test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DHALVEK_TESTS=ON $(STRICT) \
	    -DHALVEK_ARM_BUILDS="$(CURDIR)/$(ARM64_BUILD);$(CURDIR)/$(ARMHF_BUILD)" -DHALVEK_WEB_BUILD="$(CURDIR)/$(WEB_BUILD)"
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DHALVEK_SANITIZE=ON -DHALVEK_TESTS=ON $(STRICT)
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS)

lint: build windows web
	$(ENSURE) lint
	clang-format --dry-run -Werror header/*.?pp tool/*.?pp tests/*.cpp web/*.cpp
	clang-tidy -p $(BUILD) --quiet header/*.cpp $(filter-out %_windows.cpp,$(wildcard tool/*.cpp)) 2>/dev/null
	clang-tidy --quiet web/patch_module.cpp -- --target=wasm32-wasi --sysroot=/usr \
	    -isystem /usr/lib/llvm-16/include/wasm32-wasi/c++/v1 -std=c++20 -Iheader 2>/dev/null
	clang-tidy -p $(WINDOWS_BUILD) --quiet --extra-arg=--target=i686-w64-mingw32 --extra-arg=-nostdinc \
	    $$(echo | i686-w64-mingw32-g++-posix -std=c++20 -xc++ -E -v - 2>&1 \
	       | sed -n '/^#include <...>/,/^End of search/s/^ /--extra-arg=-isystem/p') \
	    tool/*_windows.cpp tool/main.cpp tool/console.cpp 2>/dev/null

# Halvek.exe, the 32-bit Windows console program.
windows:
	$(ENSURE) build windows
	cmake -S . -B $(WINDOWS_BUILD) --toolchain cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=Release $(STRICT)
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

test-windows: windows
	cmake -S . -B $(WINDOWS64_BUILD) --toolchain cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release $(STRICT)
	cmake --build $(WINDOWS64_BUILD) -j $(JOBS)
	cd $(WINDOWS_BUILD) && cpack
	tests/run_wine_tests.sh

# dist/: a .deb and a tarball for each Linux machine, the Windows zip, and SHA256SUMS.
package: build arm windows
	$(ENSURE) package
	scripts/package $(BUILD) $(ARM64_BUILD) $(ARMHF_BUILD) $(WINDOWS_BUILD)

# The two commands above in a fresh minimal Debian 12 root, as root (debootstrap; a few minutes).
bare-test:
	scripts/bare-test

# A plain source build in a Debian 11 root, with its own CMake and g++, against this build.
old-debian-test: build
	scripts/bare-test bullseye

# The .deb that `make package` made, installed in a bare Debian 12 root, against this build.
install-test: build
	scripts/bare-test install

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(WINDOWS_BUILD) $(WINDOWS64_BUILD) $(ARM64_BUILD) $(ARMHF_BUILD) $(WEB_BUILD) dist

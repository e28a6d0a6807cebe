# zr9config: `make run` and `make test` do all the set-up on a fresh Debian machine.

BUILD_DIR ?= build
CMAKE_FLAGS ?=
# Debian packages the build, the tests and `make run` need.
DEPS := cmake g++ ninja-build qt6-base-dev qt6-base-dev-tools libgtest-dev xvfb xauth fonts-dejavu-core fonts-liberation2 libqt6svg6

# What `make package` and the package test use: dpkg-deb's helpers and the checks.
PACKAGE_DEPS := dpkg-dev file lintian appstream

SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: all deps build test run clean package screenshot

all: build

deps:
	@missing=""; \
	for p in $(DEPS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR)

test: build
	@$(MAKE) --no-print-directory deps DEPS="$(PACKAGE_DEPS)"
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure

# The window against a simulated module on COM3, in a fresh port folder. What it
# needs comes first, so that the command it suggests without a display works.
run: deps
	@tools/run-with-simulator.sh --check-display
	@$(MAKE) --no-print-directory build
	@tools/run-with-simulator.sh "$(BUILD_DIR)"

# Figures for the README's performance section; on a virtual display when there is none.
.PHONY: bench
bench: build
	@if [ -z "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]; then \
	  xvfb-run -a $(BUILD_DIR)/bench/zr9bench; else $(BUILD_DIR)/bench/zr9bench; fi

clean:
	rm -rf $(BUILD_DIR)

# The Debian package of the window in $(BUILD_DIR), checked with lintian and appstreamcli.
package: build
	@$(MAKE) --no-print-directory deps DEPS="$(PACKAGE_DEPS)"
	tools/check-package.sh $(BUILD_DIR)

# docs/zr9config.png: the real window under Xvfb against a simulated module.
screenshot: build
	@$(MAKE) --no-print-directory deps DEPS="x11-apps imagemagick"
	cmake --build $(BUILD_DIR) --target zr9-module-sim
	app/screenshot.sh $(BUILD_DIR) docs/zr9config.png

# Reliability: libFuzzer targets (clang, own packages) and the whole suite under ASan+UBSan.
FUZZ_SECONDS ?= 60
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_DEPS := clang-14 libclang-rt-14-dev
FUZZ_TARGETS := fuzz_profile fuzz_reply fuzz_sim_commands
ASAN_BUILD_DIR ?= build-asan
# UBSan findings fail a test like ASan's do.
ASAN_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: fuzz test-asan

fuzz:
	$(MAKE) deps DEPS="$(FUZZ_DEPS)"
	cmake -S . -B $(FUZZ_BUILD_DIR) -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DZR9_FUZZ=ON \
	  -DZR9_BUILD_APP=OFF -DZR9_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD_DIR) --target $(FUZZ_TARGETS)
	fuzz/run_fuzzers.sh $(FUZZ_BUILD_DIR)/fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

test-asan:
	@start=$$(date +%s); \
	$(ASAN_ENV) $(MAKE) build BUILD_DIR=$(ASAN_BUILD_DIR) CMAKE_FLAGS=-DZR9_SANITIZE=address,undefined && \
	cd $(ASAN_BUILD_DIR) && $(ASAN_ENV) QT_QPA_PLATFORM=offscreen ctest --output-on-failure; \
	status=$$?; echo "test-asan: $$(( $$(date +%s) - start )) s"; exit $$status

# Windows: the serial and protocol libraries with their tests, cross-built with
# MinGW-w64 and run under Wine against pseudo-terminals (own packages).
WIN_BUILD_DIR ?= build-win
WIN_DEPS := cmake ninja-build g++-mingw-w64-x86-64-posix wine64 socat googletest

.PHONY: test-windows

test-windows:
	@$(MAKE) --no-print-directory deps DEPS="$(WIN_DEPS)"
	@test -f $(WIN_BUILD_DIR)/build.ninja || cmake -S . -B $(WIN_BUILD_DIR) -G Ninja \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DZR9_BUILD_APP=OFF
	cmake --build $(WIN_BUILD_DIR)
	tools/run-wine-tests.sh $(WIN_BUILD_DIR)

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
	@scripts/run-with-simulator.sh --check-display
	@$(MAKE) --no-print-directory build
	@scripts/run-with-simulator.sh "$(BUILD_DIR)"

# Figures for the README's performance section (the window's on a virtual display
# when there is none), then zr9ctl batch on several ports at once.
.PHONY: bench
bench: build
	@if [ -z "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]; then \
	  xvfb-run -a $(BUILD_DIR)/bench/zr9bench; else $(BUILD_DIR)/bench/zr9bench; fi
	$(BUILD_DIR)/bench/zr9batchbench

clean:
	rm -rf $(BUILD_DIR)

# The Debian package of the window in $(BUILD_DIR), checked with lintian and appstreamcli.
package: build
	@$(MAKE) --no-print-directory deps DEPS="$(PACKAGE_DEPS)"
	scripts/check-package.sh $(BUILD_DIR)

# docs/zr9config.png and docs/zr9config-production.png: the real windows under
# Xvfb against simulated modules (the production window during a four-port run).
screenshot: build
	@$(MAKE) --no-print-directory deps DEPS="x11-apps imagemagick xdotool"
	cmake --build $(BUILD_DIR) --target zr9-module-sim
	scripts/screenshot.sh $(BUILD_DIR) docs/zr9config.png
	scripts/screenshot.sh $(BUILD_DIR) docs/zr9config-production.png --production

# The end-to-end scenarios and the port list over the Linux kernel's own serial
# drivers (16550A, FTDI, CDC-ACM) in a virtual machine under QEMU; its kernel
# comes from Debian's linux-image-amd64, unpacked once into a cache outside
# the work tree. See tests/drivers/test-drivers.sh.
DRIVER_TEST_DEPS := qemu-system-x86 busybox-static socat xz-utils
DRIVER_TEST_TARGETS := zr9-module-sim zr9ctl e2e_tests device_table_tests zr9bench

.PHONY: test-drivers
test-drivers:
	@$(MAKE) --no-print-directory deps DEPS="$(DEPS) $(DRIVER_TEST_DEPS)"
	@$(MAKE) --no-print-directory $(BUILD_DIR)/build.ninja
	@# The guest's kernel and initramfs are made while the programs build.
	@tests/drivers/test-drivers.sh prepare & prepared=$$!; \
	cmake --build $(BUILD_DIR) --target $(DRIVER_TEST_TARGETS); built=$$?; \
	wait $$prepared && [ $$built = 0 ]
	tests/drivers/test-drivers.sh $(BUILD_DIR)

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

# The command line, production, protocol and serial suites under
# ThreadSanitizer (gcc's, own build folder, without the window). A report
# fails the suite that saw it: zr9ctl, run by the ctl suite as a process,
# then exits with TSan's status 66.
TSAN_BUILD_DIR ?= build-tsan
TSAN_DEPS := libtsan2
TSAN_SUITES := tests/ctl/ctl_tests tests/production/production_tests tests/protocol/protocol_tests \
	tests/serial/serial_core_tests tests/serial/serial_core_posix_rules_tests \
	tests/serial/serial_posix_tests
TSAN_ENV := TSAN_OPTIONS=halt_on_error=0:exitcode=66:second_deadlock_stack=1

.PHONY: test-tsan
test-tsan:
	@$(MAKE) --no-print-directory deps DEPS="$(DEPS) $(TSAN_DEPS)"
	cmake -S . -B $(TSAN_BUILD_DIR) -G Ninja -DZR9_SANITIZE=thread -DZR9_BUILD_APP=OFF $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD_DIR) --target zr9ctl zr9-module-sim $(notdir $(TSAN_SUITES))
	@start=$$(date +%s); failed=""; \
	for suite in $(TSAN_SUITES); do \
	  echo "test-tsan: $$suite"; \
	  $(TSAN_ENV) $(TSAN_BUILD_DIR)/$$suite || failed="$$failed $$suite"; \
	done; \
	echo "test-tsan: $$(( $$(date +%s) - start )) s"; \
	if [ -n "$$failed" ]; then echo "test-tsan: failed:$$failed"; exit 1; fi

# Windows, cross-built with MinGW-w64 and run under Wine (own packages).
WIN_BUILD_DIR ?= build-win
WIN_DEPS := cmake ninja-build g++-mingw-w64-x86-64-posix wine64 socat googletest
# Qt's base modules for MinGW-w64, built once from Debian's sources into a
# cache outside the work tree (30 to 60 minutes on 2 cores).
QT_MINGW_PREFIX ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/zr9config/qt-6.4.2-mingw64
QT_MINGW_DEPS := dpkg-dev qt6-base-dev qt6-base-dev-tools
# The icon rendered for Windows, the zip and its check.
WIN_ZIP_DEPS := librsvg2-bin icoutils zip unzip
# The window under Wine on a virtual display, driven from outside.
WIN_WINDOW_TEST_DEPS := xvfb xauth xdotool xclip imagemagick
WIN_CMAKE := cmake -S . -B $(WIN_BUILD_DIR) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

.PHONY: qt-mingw windows test-windows test-windows-serial test-windows-if-qt

qt-mingw:
	@$(MAKE) --no-print-directory deps DEPS="$(WIN_DEPS) $(QT_MINGW_DEPS)"
	scripts/build-qt-mingw.sh "$(QT_MINGW_PREFIX)"

# The window for Windows, packed and checked: build-win/zr9config-<version>-win64.zip.
windows: qt-mingw
	@$(MAKE) --no-print-directory deps DEPS="$(WIN_ZIP_DEPS)"
	$(WIN_CMAKE) -DZR9_BUILD_APP=ON -DZR9_QT_MINGW_PREFIX="$(QT_MINGW_PREFIX)"
	cmake --build $(WIN_BUILD_DIR) --target windows-zip

# The serial layer's tests under Wine against pseudo-terminals, then the
# window from the zip under Wine against simulated modules.
test-windows: windows
	@$(MAKE) --no-print-directory deps DEPS="$(WIN_WINDOW_TEST_DEPS)"
	cmake --build $(WIN_BUILD_DIR)
	@$(MAKE) --no-print-directory build
	ZR9_SIM=$(BUILD_DIR)/sim/zr9-module-sim tests/wine/run-wine-tests.sh $(WIN_BUILD_DIR)
	cmake --build $(BUILD_DIR) --target wine_window_tests
	tests/wine/run-wine-window-tests.sh $(WIN_BUILD_DIR)/zr9config-*-win64.zip $(BUILD_DIR)/tests/e2e/wine_window_tests

# Without Qt for MinGW: only the serial and protocol libraries and their tests.
test-windows-serial: build
	@$(MAKE) --no-print-directory deps DEPS="$(WIN_DEPS)"
	$(WIN_CMAKE) -DZR9_BUILD_APP=OFF -DZR9_QT_MINGW_PREFIX=
	cmake --build $(WIN_BUILD_DIR)
	ZR9_SIM=$(BUILD_DIR)/sim/zr9-module-sim tests/wine/run-wine-tests.sh $(WIN_BUILD_DIR)

# CI: the whole Windows check when the Qt cache is there, else the serial layer.
test-windows-if-qt:
	@if [ -f "$(QT_MINGW_PREFIX)/.complete" ]; then \
	  $(MAKE) --no-print-directory test-windows; \
	else \
	  echo "No Qt for MinGW in $(QT_MINGW_PREFIX) (make qt-mingw builds it): the window is not cross-built"; \
	  $(MAKE) --no-print-directory test-windows-serial; \
	fi

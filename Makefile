# zr9config: `make run` and `make test` do all the set-up on a fresh Debian machine.

BUILD_DIR ?= build
CMAKE_FLAGS ?=
# Debian packages the build, the tests and `make run` need.
DEPS := cmake g++ ninja-build qt6-base-dev qt6-base-dev-tools libgtest-dev xvfb xauth fonts-dejavu-core

SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: all deps build test run clean

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
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure

run: build
	$(BUILD_DIR)/app/zr9config

clean:
	rm -rf $(BUILD_DIR)

# User-facing commands; the build itself is CMake with Ninja.
BUILD_DIR ?= build
PREFIX ?= /usr/local
CMAKE_FLAGS ?=

.PHONY: all deps configure demo check install clean

all: configure
	cmake --build $(BUILD_DIR)

deps:
	@sh scripts/deps.sh

configure: deps
	@test -f $(BUILD_DIR)/build.ninja || cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

demo: all
	@sh demo/run.sh $(BUILD_DIR)

check: all
	cd $(BUILD_DIR) && ctest --output-on-failure -j2

install: all
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD_DIR)

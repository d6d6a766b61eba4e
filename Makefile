# User-facing commands; the build itself is CMake with Ninja.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
PREFIX ?= /usr/local
CMAKE_FLAGS ?=

.PHONY: all deps configure demo check install clean fuzz soak bench

all: configure
	cmake --build $(BUILD_DIR)

deps:
	@sh scripts/deps.sh

configure: deps
	@test -f $(BUILD_DIR)/build.ninja || cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

demo: all
	@sh demo/run.sh $(BUILD_DIR)

# The whole suite, then again with AddressSanitizer and UndefinedBehaviorSanitizer.
check: all
	cd $(BUILD_DIR) && ctest --output-on-failure -j2
	@test -f $(SANITIZE_DIR)/build.ninja || cmake -S . -B $(SANITIZE_DIR) -G Ninja -DVORLIX_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_DIR)
	cd $(SANITIZE_DIR) && ctest --output-on-failure -j2

# Times packages against tar | zstd and makeself; writes bench/RESULTS.md.
bench: all
	@sh scripts/deps.sh --extra makeself python3 time zstd tar
	python3 bench/bench.py $(BUILD_DIR) --out bench/RESULTS.md $(BENCH_ARGS)

# 500 package runs, two at a time, a third of them interrupted.
soak: all
	bash scripts/soak.sh 500 $(BUILD_DIR)

# Runs both fuzz targets for FUZZ_SECONDS each (in parallel).
FUZZ_SECONDS ?= 1800
fuzz:
	sh scripts/fuzz.sh $(FUZZ_SECONDS)

install: all
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR)

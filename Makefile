# User-facing commands; the build itself is CMake with Ninja.
#
# `make`, `make demo` and `make install` build in BUILD_DIR as a user or
# packager would: warnings are shown, never fatal. `make check` builds in its
# own directories with warnings as errors, as developers and CI do.
BUILD_DIR ?= build
CHECK_DIR ?= build-check
SANITIZE_DIR ?= build-sanitize
TSAN_DIR ?= build-tsan
PREFIX ?= /usr/local
CMAKE_FLAGS ?=
FREEBSD_SYSROOT ?= ../shared/freebsd-sysroot

.PHONY: all deps configure demo check check-freebsd install uninstall clean fuzz soak bench

all: configure
	cmake --build $(BUILD_DIR)

deps:
	@sh scripts/deps.sh

configure: deps
	@test -f $(BUILD_DIR)/build.ninja || cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

demo: all
	@sh demo/run.sh $(BUILD_DIR)

# The whole suite, then again with AddressSanitizer and UndefinedBehaviorSanitizer,
# then the reader and extraction tests (the decoder thread) with ThreadSanitizer.
# A decode error ends the launcher with its decoder thread unjoined, on
# purpose (a failure ends the process at once), so thread leaks are not reported.
TSAN_TESTS = payload_reader_test extract_test launcher_test
check: deps
	@test -f $(CHECK_DIR)/build.ninja || cmake -S . -B $(CHECK_DIR) -G Ninja -DVORLIX_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(CHECK_DIR)
	cd $(CHECK_DIR) && ctest --output-on-failure -j2
	@test -f $(SANITIZE_DIR)/build.ninja || cmake -S . -B $(SANITIZE_DIR) -G Ninja -DVORLIX_WERROR=ON -DVORLIX_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_DIR)
	cd $(SANITIZE_DIR) && ctest --output-on-failure -j2
	@test -f $(TSAN_DIR)/build.ninja || cmake -S . -B $(TSAN_DIR) -G Ninja -DVORLIX_WERROR=ON -DVORLIX_TSAN=ON $(CMAKE_FLAGS)
	cmake --build $(TSAN_DIR) --target $(TSAN_TESTS)
	cd $(TSAN_DIR) && TSAN_OPTIONS=report_thread_leaks=0 ctest --output-on-failure -j2 -R '^(PayloadReaderTest|ExtractTest|LauncherTest)\.'

# The launcher's sources, syntax-checked for FreeBSD 14 (x86-64) by clang
# against the FreeBSD system headers under FREEBSD_SYSROOT.
check-freebsd: deps
	@sh scripts/deps.sh --extra clang
	@test -d "$(FREEBSD_SYSROOT)/usr/include" || { echo "check-freebsd: no FreeBSD headers at FREEBSD_SYSROOT=$(FREEBSD_SYSROOT)" >&2; exit 2; }
	cmake -S . -B $(CHECK_DIR) -G Ninja -DVORLIX_WERROR=ON -DFREEBSD_SYSROOT=$(abspath $(FREEBSD_SYSROOT)) $(CMAKE_FLAGS) > /dev/null
	cmake --build $(CHECK_DIR) --target check-freebsd

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

# vorlix-pack in PREFIX/bin; the launcher image, a helper rather than a
# command, in PREFIX/libexec/vorlix; the manual page and the bash and zsh
# completions below PREFIX/share.
install: all
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Removes what the last make install put in PREFIX.
uninstall:
	sh scripts/uninstall.sh $(BUILD_DIR) $(PREFIX)

clean:
	rm -rf $(BUILD_DIR) $(CHECK_DIR) $(SANITIZE_DIR) $(TSAN_DIR)

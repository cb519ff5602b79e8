# Front door of the project. Every target installs its own dependencies first.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
RELEASE_DIR ?= build-release
FUZZ_DIR ?= build-fuzz
CMAKE_FLAGS ?=

.PHONY: all deps build release asan tsan fuzz demo test asan-test tsan-test bench format clean

all: build

deps:
	@bash scripts/install-deps.sh

# Warnings as errors and the tests: both on here and in CI (a packager's
# plain cmake build has neither and needs no GoogleTest).
QZ_OPTIONS := -DQZ_WERROR=ON -DQZ_BUILD_TESTS=ON

define configure
	@cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=$(2) $(QZ_OPTIONS) $(CMAKE_FLAGS) >/dev/null
endef

build: deps
	$(call configure,$(BUILD_DIR),Debug)
	@cmake --build $(BUILD_DIR) -j $(JOBS)

release: deps
	$(call configure,$(RELEASE_DIR),Release)
	@cmake --build $(RELEASE_DIR) -j $(JOBS)

asan: deps
	$(call configure,$(ASAN_DIR),Asan)
	@cmake --build $(ASAN_DIR) -j $(JOBS)

# The threaded code under ThreadSanitizer: message layer, threads and
# callbacks, device events, listeners and polling, notifier, reconnection,
# presence end to end, the restore dialog's worker, the program logs, volume
# locks held across the daemon's connections, the layout change with its
# format, secure sessions and the private area end to end, the emulator
# daemon's client limits and idle drops, and qzctl's watchdog that follows a
# drive leaving the bus.
TSAN_TESTS ?= Messages|Thread|Callback|DeviceEvent|DeviceListener|DeviceNotifier|TransparentReconnect|ReconnectE2e|PresenceE2e|PresenceReattachE2e|WindowCloser|RestoreQzDlg|QzLog|IntroLog|VolumesE2e|VolumeLock|ConfigServiceE2e|SecureSessionE2e|PrivateAreaE2e|DaemonLimitsE2e|cli\.qzctl_format

tsan: deps
	$(call configure,$(TSAN_DIR),Tsan)
	@cmake --build $(TSAN_DIR) -j $(JOBS) --target nork_unit_tests qz_e2e_tests qzemud qzctl qzemu_cli restore_tests

# The fuzz targets as libFuzzer binaries (clang), in $(FUZZ_DIR)/bin/fuzz_*
# and ha_fuzz; how to run them: docs/fuzzing.md.
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=Debug -DQZ_FUZZ=ON \
	  $(QZ_OPTIONS) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target qz_fuzzers

demo: build
	@bash scripts/demo.sh $(BUILD_DIR)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

asan-test: asan
	@cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/gui/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

tsan-test: tsan
	@cd $(TSAN_DIR) && \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/gui/tsan.supp \
	  ctest --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)'

bench: release
	@cmake --build $(RELEASE_DIR) --target qz_bench qz_presence_bench qz_format_bench qz_session_bench qz_hive_bench -j $(JOBS)
	@$(RELEASE_DIR)/bin/qz_bench
	@$(RELEASE_DIR)/bin/qz_presence_bench
	@$(RELEASE_DIR)/bin/qz_format_bench
	@$(RELEASE_DIR)/bin/qz_session_bench
	@$(RELEASE_DIR)/bin/qz_hive_bench

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(RELEASE_DIR) $(FUZZ_DIR)

# Front door of the project. Every target installs its own dependencies first.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
RELEASE_DIR ?= build-release
CMAKE_FLAGS ?=

.PHONY: all deps build release asan demo test asan-test bench format clean

all: build

deps:
	@bash scripts/install-deps.sh

define configure
	@cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=$(2) $(CMAKE_FLAGS) >/dev/null
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

demo: build
	@bash scripts/demo.sh $(BUILD_DIR)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

asan-test: asan
	@cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

bench: release
	@cmake --build $(RELEASE_DIR) --target qz_bench -j $(JOBS)
	@$(RELEASE_DIR)/bin/qz_bench

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(RELEASE_DIR)

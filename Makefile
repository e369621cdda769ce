# Quick start: `make demo` and `make test`. Each target runs the bootstrap first, so a fresh
# Debian 12 machine needs nothing else.

BUILD_DIR      ?= build
ASAN_BUILD_DIR ?= build-asan
TSAN_BUILD_DIR ?= build-tsan
JOBS           ?= $(shell nproc)
CMAKE_FLAGS    ?=

.PHONY: all bootstrap build demo test test-asan test-tsan bench format clean

all: build

bootstrap:
	@bash scripts/bootstrap

# configure DIR EXTRA-FLAGS
define configure
	cmake -S . -B $(1) -G Ninja $(2) $(CMAKE_FLAGS) >/dev/null
endef

build: bootstrap
	$(call configure,$(BUILD_DIR),-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The main job on the bundled default scene (does its own set-up, like test).
demo:
	@bash scripts/demo

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-asan: bootstrap
	$(call configure,$(ASAN_BUILD_DIR),-DCMAKE_BUILD_TYPE=Debug -DTARNIVALE_SANITIZE=address -DTARNIVALE_BUILD_BENCH=OFF)
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=64:strict_string_checks=1:check_initialization_order=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	ctest --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j $(JOBS)

test-tsan: bootstrap
	$(call configure,$(TSAN_BUILD_DIR),-DCMAKE_BUILD_TYPE=Debug -DTARNIVALE_SANITIZE=thread -DTARNIVALE_BUILD_BENCH=OFF)
	cmake --build $(TSAN_BUILD_DIR) -j $(JOBS)
	TSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/tsan.supp:halt_on_error=1 \
	ctest --test-dir $(TSAN_BUILD_DIR) --output-on-failure -j $(JOBS)

bench: build
	@echo "Benchmarks are in $(BUILD_DIR)/bench/; see bench/README.md"

format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(TSAN_BUILD_DIR)

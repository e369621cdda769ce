# Quick start: `make demo` and `make test`. Each target runs the bootstrap first, so a fresh
# Debian 12 machine needs nothing else.

BUILD_DIR      ?= build
ASAN_BUILD_DIR ?= build-asan
TSAN_BUILD_DIR ?= build-tsan
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS   ?= 30
FUZZ_DOORS     ?=
JOBS           ?= $(shell nproc)
CMAKE_FLAGS    ?=

.PHONY: all bootstrap build demo test test-asan test-tsan test-fuzz test-qgis qgis-plugin bench format clean

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

# libFuzzer on every JSON door (tests/fuzz): a clang build with ASan+UBSan and coverage, FUZZ_SECONDS per door;
# FUZZ_DOORS="task raster-inference" picks doors. The bootstrap installs clang for this target only.
test-fuzz:
	@bash scripts/bootstrap --fuzz
	$(call configure,$(FUZZ_BUILD_DIR),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTARNIVALE_SANITIZE=address -DTARNIVALE_FUZZ=ON -DTARNIVALE_BUILD_BENCH=OFF)
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target tarnivale_fuzzers tarnivale_test_models
	bash tests/fuzz/run_fuzzers.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS) $(FUZZ_DOORS)

# The QGIS Processing provider (qgis/), installable from this zip (Plugins > Install from ZIP); the
# tarnivale_ai package is bundled in it.
QGIS_PLUGIN_ZIP ?= $(BUILD_DIR)/tarnivale_ai_processing.zip

qgis-plugin:
	/usr/bin/python3 qgis/make_plugin_zip.py $(QGIS_PLUGIN_ZIP)

# Not part of test: installs QGIS (3.22 on Debian 12) on first use, then drives the plugin zip headless
# through qgis_process and in a QGIS Python process (tests/qgis).
test-qgis: build qgis-plugin
	@bash scripts/install-qgis
	bash tests/qgis/run.sh $(BUILD_DIR) $(QGIS_PLUGIN_ZIP)

bench: build
	@echo "Benchmarks are in $(BUILD_DIR)/bench/; see bench/README.md"

format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(TSAN_BUILD_DIR) $(FUZZ_BUILD_DIR)

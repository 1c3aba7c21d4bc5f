# Thin wrapper over CMake: configure once into build/, then cmake --build.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
JOBS ?= 2

.PHONY: all build test run bench deps clean

all: build

deps:
	@bash scripts/install-deps

$(BUILD_DIR)/CMakeCache.txt:
	@bash scripts/install-deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

run: build
	$(BUILD_DIR)/bin/tallivan

clean:
	rm -rf $(BUILD_DIR)

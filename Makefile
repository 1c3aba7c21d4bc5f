# Thin wrapper over CMake: configure once into build/, then cmake --build.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
JOBS ?= 2
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
SANITIZE_DIR ?= build-sanitize
WINDOWS_DIR ?= build-windows
# UB stops a test (the build also has -fno-sanitize-recover); leaks inside system libraries
# (Qt's plugins, fontconfig) are suppressed, the program's own are not.
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/reliability/lsan.supp:print_suppressions=0

# The book `make run` opens: the build tree's own, $(BUILD_DIR)/bin/book, unless BOOK names another.
BOOK ?=
# Ledgers a build folder may hold: the one `make run` (or a Windows program run from the Windows
# build) keeps, and texts saved when it could not be.
BUILD_BOOKS = $(wildcard $(BUILD_DIR)/bin/book $(BUILD_DIR)/bin/book.unsaved-* \
	$(WINDOWS_DIR)/bin/book $(WINDOWS_DIR)/bin/book.unsaved-*)

.PHONY: all build test run bench deps clean fuzz test-sanitize package deps-windows windows \
	test-windows windows-zip

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
	$(BUILD_DIR)/bin/tallivan $(if $(BOOK),--book '$(BOOK)')

# The Debian package, $(BUILD_DIR)/tallivan_<version>_<arch>.deb.
package: build
	cmake --build $(BUILD_DIR) --target package

# The benchmarks on generated books, in the Release build; prints one table (bench/run).
bench: build
	bash bench/run $(BUILD_DIR)

# Each libFuzzer target for FUZZ_SECONDS, built with clang in its own directory.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLIVAN_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target recalculate_fuzzer numeric_fuzzer book_fuzzer
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash tests/fuzz/run-fuzzers $(FUZZ_DIR)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLIVAN_SANITIZE=ON
	$(SANITIZER_ENV) cmake --build $(SANITIZE_DIR) -j $(JOBS)
	$(SANITIZER_ENV) ctest --test-dir $(SANITIZE_DIR) --output-on-failure -j $(JOBS)

# The Windows executables, cross-compiled with MinGW-w64 into $(WINDOWS_DIR)/bin; the tests run
# under Wine, in a prefix made on first use in $(WINDOWS_DIR)/wine-prefix.
$(WINDOWS_DIR)/CMakeCache.txt:
	@bash scripts/install-deps windows
	cmake -S . -B $(WINDOWS_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/x86_64-w64-mingw32.cmake

deps-windows:
	@bash scripts/install-deps windows

windows: deps-windows $(WINDOWS_DIR)/CMakeCache.txt
	cmake --build $(WINDOWS_DIR) -j $(JOBS)

test-windows: windows
	ctest --test-dir $(WINDOWS_DIR) --output-on-failure -j $(JOBS)

# The portable zip: $(WINDOWS_DIR)/Tallivan-<version>-windows-x64.zip.
windows-zip: windows
	cpack --config $(WINDOWS_DIR)/CPackConfig.cmake -B $(WINDOWS_DIR)


# Never deletes a ledger: refuses while the build folder holds one.
clean:
ifneq ($(BUILD_BOOKS),)
	@echo "make clean: $(BUILD_BOOKS) would be deleted with $(BUILD_DIR) and $(WINDOWS_DIR); nothing was removed." >&2
	@echo "Keep the book by moving it out first, for example to where an installed copy looks:" >&2
	@echo "  mkdir -p ~/.local/share/tallivan && mv -n $(BUILD_DIR)/bin/book ~/.local/share/tallivan/book" >&2
	@echo "or anywhere else, then open it with 'make run BOOK=PATH' or 'tallivan --book PATH'." >&2
	@exit 1
else
	rm -rf $(BUILD_DIR) $(WINDOWS_DIR)
endif

# Thin wrapper over CMake: configure once into build/, then cmake --build.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
JOBS ?= 2
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
SANITIZE_DIR ?= build-sanitize
WINDOWS_DIR ?= build-windows
# The package is built in a tree of its own, without the tests, and lands in $(BUILD_DIR).
PACKAGE_DIR ?= $(BUILD_DIR)/package-build
# Where `make install` puts the programs; `make uninstall` takes them out of it again.
PREFIX ?= $(HOME)/.local
INSTALLED_LIST = $(BUILD_DIR)/installed-files.txt
# What the programs and the files installed beside them need built (no tests).
PROGRAMS = tallivan tallivan-calc compressed_documents
# Same bytes from two package builds: every time stamp in the package is the last commit's.
SOURCE_DATE_EPOCH ?= $(shell git -C $(CURDIR) log -1 --format=%ct 2>/dev/null || echo 1796601600)
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

.PHONY: all build test run bench deps deps-package deps-test clean fuzz test-sanitize package \
	install uninstall build-tests deps-windows windows test-windows windows-zip

all: build

# What the programs need to build and run; the package and the tests add their tools.
deps:
	@bash scripts/install-deps
deps-package:
	@bash scripts/install-deps package
deps-test:
	@bash scripts/install-deps test

# A first configuration leaves the tests out; `make test` turns them on in the same folder.
$(BUILD_DIR)/CMakeCache.txt:
	@bash scripts/install-deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DBUILD_TESTING=OFF

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target $(PROGRAMS)

build-tests: deps-test $(BUILD_DIR)/CMakeCache.txt
	cmake -S . -B $(BUILD_DIR) -DBUILD_TESTING=ON
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build-tests
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

run: build
	$(BUILD_DIR)/bin/tallivan $(if $(BOOK),--book '$(BOOK)')

# The Debian package, $(BUILD_DIR)/tallivan_<version>_<arch>.deb, built without the tests and
# reproducibly (SOURCE_DATE_EPOCH, no build path in the programs).
package: deps-package
	cmake -S . -B $(PACKAGE_DIR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DTALLIVAN_REPRODUCIBLE=ON
	cmake --build $(PACKAGE_DIR) -j $(JOBS)
	SOURCE_DATE_EPOCH=$(SOURCE_DATE_EPOCH) cpack --config $(PACKAGE_DIR)/CPackConfig.cmake \
	  -B $(abspath $(BUILD_DIR))

# Into PREFIX (by default ~/.local); the list of what went where is kept for `make uninstall`.
install: build
	cmake --install $(BUILD_DIR) --prefix '$(abspath $(PREFIX))'
	{ echo '$(abspath $(PREFIX))'; cat $(BUILD_DIR)/install_manifest.txt; } >$(INSTALLED_LIST)

# Removes exactly what `make install` installed from this build folder; never a book.
uninstall:
	@bash scripts/uninstall $(INSTALLED_LIST)

# The benchmarks on generated books, in the Release build; prints one table (bench/run).
bench: build-tests
	bash bench/run $(BUILD_DIR)

# Each libFuzzer target for FUZZ_SECONDS, built with clang in its own directory.
fuzz: deps-test
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLIVAN_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target recalculate_fuzzer numeric_fuzzer book_fuzzer
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash tests/fuzz/run-fuzzers $(FUZZ_DIR)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps-test
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

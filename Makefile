# The two commands for a fresh machine are `make run` and `make test`.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
DIST_BUILD_DIR ?= build-dist
DIST_DIR ?= dist
VELTO_PACKAGE ?=
VELTO_DIST_STAND_IN ?=
# These reach the recipes through the environment, never pasted into a command's text, so that a
# value with spaces, quotes or a line break arrives as it was given.
export VELTO_PACKAGE VELTO_DIST_STAND_IN
ARGS ?=
JOBS ?= $(shell nproc)

# A value as one single-quoted shell word (each ' in it becomes '\''), so that a folder with spaces
# or shell characters in its name reaches cmake and the tools as it was given.
quote = '$(subst ','\'',$(1))'

CMAKE_FLAGS := -G Ninja
ifeq ($(CI),true)
CMAKE_FLAGS += -DVELTO_WERROR=ON
endif

.PHONY: deps deps-build configure build run test test-sanitizers dist bench format clean

# What building and running need; `deps` adds what the tests and benchmarks need.
deps-build:
	@tools/install-deps build

deps:
	@tools/install-deps all

configure:
	cmake -S . -B $(call quote,$(BUILD_DIR)) $(CMAKE_FLAGS) -DVELTO_PACKAGE="$$VELTO_PACKAGE"

build: configure
	cmake --build $(call quote,$(BUILD_DIR)) -j $(JOBS)

run: deps-build build
	./$(call quote,$(BUILD_DIR))/velto-linux-setup $(ARGS)

# ctest prints no output of a suite that passed or that it counts as skipped, so the skipped cases
# of each suite and why they skipped (a line the pytest runner, tests/support/run_pytest.py, marks
# for this purpose) follow the summary.
test: deps build
	@status=0; \
	ctest --test-dir $(call quote,$(BUILD_DIR)) --output-on-failure -j $(JOBS) || status=$$?; \
	awk 'sub(/^velto-skipped: /, "\t") { if (!n++) print "Skipped cases, and why:"; print }' \
	  $(call quote,$(BUILD_DIR)/Testing/Temporary/LastTest.log) 2>/dev/null; \
	exit $$status

# The GoogleTest suites (label unit) and the check-mode system tests (label check_mode) once more,
# built with AddressSanitizer and UndefinedBehaviorSanitizer in a folder of their own. A finding
# aborts the process, so no test can take it for an exit status it expects; the window tests load
# fonts, whose library's leaks are suppressed in the file named below (it says why).
SANITIZER_ENV := \
  ASAN_OPTIONS=abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
  UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1 \
  LSAN_OPTIONS=$(call quote,suppressions=$(CURDIR)/tests/support/lsan_suppressions.txt) \
  G_SLICE=always-malloc G_DEBUG=fatal-criticals,gc-friendly

test-sanitizers: deps
	cmake -S . -B $(call quote,$(SANITIZE_DIR)) $(CMAKE_FLAGS) \
	  -DVELTO_PACKAGE="$$VELTO_PACKAGE" -DVELTO_SANITIZE=ON
	cmake --build $(call quote,$(SANITIZE_DIR)) -j $(JOBS)
	env $(SANITIZER_ENV) ctest --test-dir $(call quote,$(SANITIZE_DIR)) --output-on-failure \
	  -j $(JOBS) -L '^(unit|check_mode)$$'

# The release artefact: the program built in its own folder without the tests, then split into a
# stripped executable and its debug information, with their SHA-256 sums. The time of the last
# commit that touched this folder (git runs here) stands in for the build time wherever a tool
# would record one, so that the same commit gives the same bytes in any folder, at any time, even
# when the sources are one folder of a larger repository. It is refused without a real package
# (unless the tests' stand-in is asked for by name) and with uncommitted changes in this folder;
# tools/check-dist-source says why, and prints the package to embed, trimmed, which is why the
# check and the configure step share one shell.
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct -- . 2>/dev/null)

dist: deps-build
	@set -e; \
	package=$$(tools/check-dist-source $(call quote,$(CURDIR)) "$$VELTO_PACKAGE" \
	  "$$VELTO_DIST_STAND_IN"); \
	test -n $(call quote,$(SOURCE_DATE_EPOCH)) || { \
	  echo "make dist: SOURCE_DATE_EPOCH is not set and git names no commit of this folder" >&2; \
	  exit 1; }; \
	set -x; \
	cmake -S . -B $(call quote,$(DIST_BUILD_DIR)) $(CMAKE_FLAGS) -DVELTO_PACKAGE="$$package" \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
	SOURCE_DATE_EPOCH=$(call quote,$(SOURCE_DATE_EPOCH)) \
	  cmake --build $(call quote,$(DIST_BUILD_DIR)) -j $(JOBS) --target velto-linux-setup
	tools/make-dist $(call quote,$(DIST_BUILD_DIR)/velto-linux-setup) $(call quote,$(DIST_DIR)) \
	  $(call quote,$(SOURCE_DATE_EPOCH))

bench: deps build
	cmake --build $(call quote,$(BUILD_DIR)) --target bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(call quote,$(BUILD_DIR)) $(call quote,$(SANITIZE_DIR)) $(call quote,$(DIST_BUILD_DIR)) \
	  $(call quote,$(DIST_DIR))

# The two commands for a fresh machine are `make run` and `make test`.
BUILD_DIR ?= build
VELTO_PACKAGE ?=
ARGS ?=
JOBS ?= $(shell nproc)

CMAKE_FLAGS := -G Ninja -DVELTO_PACKAGE=$(VELTO_PACKAGE)
ifeq ($(CI),true)
CMAKE_FLAGS += -DVELTO_WERROR=ON
endif

.PHONY: deps configure build run test bench format clean

deps:
	@tools/install-deps

configure:
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: deps build
	./$(BUILD_DIR)/velto-linux-setup $(ARGS)

test: deps build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

bench: deps build
	cmake --build $(BUILD_DIR) --target bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR)

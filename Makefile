# Thin wrapper over CMake; see README.md.
BUILD   ?= build
PREFIX  ?= /usr/local
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build run test deps bench docs install clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Local mode: the sysop is the caller. Runs in bin/, where the picture is.
run:
	$(MAKE) --no-print-directory build
	cd $(BUILD)/bin && ./vantorama

deps:
	@tools/install-deps.sh

# Configures again after deps, so test tools installed just now are found.
test: deps
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j $(JOBS)

bench: deps build
	@for b in $(BUILD)/bin/bench_*; do echo "== $$b"; $$b; done

# The kit's API reference, from its headers (needs Debian's doxygen).
docs: $(BUILD)/CMakeCache.txt
	@command -v doxygen >/dev/null || { echo "make docs needs doxygen: sudo apt-get install doxygen" >&2; exit 1; }
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) --target docs

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)

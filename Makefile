# Two commands do all the set-up on a fresh Debian 12 machine:
#   make demo   installs what is missing, builds, converts a built-in example
#   make test   installs what is missing, builds, runs every test
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo clean bench

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

demo: build
	@bash scripts/demo.sh $(BUILD_DIR)

# make bench: tolvek against the peers, the stage benchmarks and peak memory,
# built apart in $(BENCH_DIR) with the benchmarks switched on (docs-bench.md).
BENCH_DIR ?= build-bench
bench:
	@bash scripts/install-deps.sh bench
	@cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLVEK_BENCH=ON >/dev/null
	@cmake --build $(BENCH_DIR) -j $(JOBS)
	@bash bench/run.sh $(BENCH_DIR)

	rm -rf $(BUILD_DIR)

# Two commands do all the set-up on a fresh Debian 12 machine:
#   make demo   installs what is missing, builds, converts a built-in example
#   make test   installs what is missing, builds, runs every test
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps configure build build-program test demo demo-picture clean bench test-asan fuzz install package test-package test-cluster bench-startup bench-cutoff bench-loudness test-browser bench-index index-screenshot

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The demo needs only the program and its library, not the tests.
build-program: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target tolvek_cli tolvek

demo: build-program
	@bash scripts/demo.sh $(BUILD_DIR)

# The README's framed picture of the demo sound (doc/demo-framed.png).
demo-picture: build
	@bash scripts/demo.sh $(BUILD_DIR) >/dev/null
	@$(BUILD_DIR)/tolvek -q --readable demo/demo.mp3
	@mv demo/demo.mp3.png doc/demo-framed.png && echo doc/demo-framed.png

# cmake --install of the build: the program, libtolvek.so.0 with its header and
# pkg-config file, the manual page, palettes, completion (README, Installing).
# PREFIX=/usr puts the library in lib/<multiarch>; DESTDIR=... is honoured.
PREFIX ?= /usr/local
install: configure
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	@cmake --install $(BUILD_DIR)

# Three Debian packages in $(PACKAGE_DIR), tolvek, libtolvek0 and libtolvek-dev
# (<name>_<version>-1_<arch>.deb), built apart for /usr and without the tests.
PACKAGE_DIR ?= build-package
# They link Debian's shared FFmpeg, so they take Debian's security updates
# (doc/ffmpeg.md).
package:
	@TOLVEK_FFMPEG=shared bash scripts/install-deps.sh
	@cmake -S . -B $(PACKAGE_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
	  -DTOLVEK_FFMPEG_PREFIX=shared >/dev/null
	@cmake --build $(PACKAGE_DIR) -j $(JOBS)
	@cd $(PACKAGE_DIR) && rm -f *.deb && cpack -G DEB >/dev/null && ls *.deb

# Installs into a DESTDIR and builds a C program against it with pkg-config,
# runs lintian on the .deb, installs it with apt-get, converts with it and
# purges it again (needs root; scripts/test-package.sh).
test-package:
	@bash scripts/install-deps.sh package
	@$(MAKE) --no-print-directory package
	@bash scripts/test-package.sh $(PACKAGE_DIR)

# The whole suite under AddressSanitizer, LeakSanitizer and UBSan.
ASAN_DIR ?= build-asan
test-asan: deps
	@cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVEK_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)
	@cd $(ASAN_DIR) && UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# Each libFuzzer target for FUZZ_SECONDS, starting from generated seeds.
# Inputs it finds are kept in $(FUZZ_DIR)/corpus/<target>. A crash, a leak,
# a hang (-timeout), runaway memory (-rss_limit_mb) or a single allocation
# over 512 MiB (-malloc_limit_mb) stops the run and leaves the input in
# $(FUZZ_DIR)/findings/.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
# target:max_len
FUZZ_TARGETS ?= palette_line:200 palette_file:4096 settings:4096 wildcard:512 audio:65536 metadata:8192
fuzz:
	@bash scripts/install-deps.sh fuzz
	@cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DTOLVEK_FUZZ=ON -DTOLVEK_SANITIZE=ON -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target tolvek_fuzzers
	@bash scripts/fuzz-seeds.sh $(FUZZ_DIR)/seeds
	@mkdir -p $(FUZZ_DIR)/findings
	@set -e; for t in $(FUZZ_TARGETS); do \
	  name=$${t%%:*}; len=$${t##*:}; \
	  mkdir -p $(FUZZ_DIR)/corpus/$$name; \
	  echo "fuzz_$$name: $(FUZZ_SECONDS) s"; \
	  $(FUZZ_DIR)/tests/fuzz/fuzz_$$name $(FUZZ_DIR)/corpus/$$name $(FUZZ_DIR)/seeds/$$name \
	    -max_total_time=$(FUZZ_SECONDS) -max_len=$$len -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 \
	    -artifact_prefix=$(FUZZ_DIR)/findings/$$name- -print_final_stats=1 2>$(FUZZ_DIR)/fuzz_$$name.log \
	    || { tail -n 60 $(FUZZ_DIR)/fuzz_$$name.log; exit 1; }; \
	  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' $(FUZZ_DIR)/fuzz_$$name.log || true; \
	done

# make bench: tolvek against the peers, the stage benchmarks and peak memory,
# built apart in $(BENCH_DIR) with the benchmarks switched on (bench/README.md).
BENCH_DIR ?= build-bench
bench:
	@bash scripts/install-deps.sh bench
	@cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLVEK_BENCH=ON >/dev/null
	@cmake --build $(BENCH_DIR) -j $(JOBS) --target tolvek_cli tolvek_stages
	@bash bench/run.sh $(BENCH_DIR)

# tolvek --version against an empty program linked like it (bench/startup.sh).
bench-startup:
	@bash scripts/install-deps.sh bench
	@cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLVEK_BENCH=ON >/dev/null
	@cmake --build $(BENCH_DIR) -j $(JOBS) --target tolvek_cli empty_main
	@bash bench/startup.sh $(BENCH_DIR)

# The cutoff and cliff rules on the corpus of bench/cutoff-corpus.sh.
bench-cutoff:
	@bash scripts/install-deps.sh bench
	@cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLVEK_BENCH=ON >/dev/null
	@cmake --build $(BENCH_DIR) -j $(JOBS) --target tolvek_cutoff
	@bash bench/cutoff-corpus.sh $(BENCH_DIR)/cutoff-corpus
	@$(BENCH_DIR)/bench/tolvek_cutoff $(BENCH_DIR)/cutoff-corpus

# What EBU R128 loudness costs a full run, on a 180 s stereo FLAC of the
# cutoff corpus's kind of music (made once).
bench-loudness:
	@bash scripts/install-deps.sh bench
	@cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLVEK_BENCH=ON >/dev/null
	@cmake --build $(BENCH_DIR) -j $(JOBS) --target tolvek_loudness
	@[ -f $(BENCH_DIR)/loudness-180s.flac ] || ffmpeg -nostdin -loglevel error -f lavfi \
	  -i "anoisesrc=c=pink:seed=3:a=0.3:r=44100:d=180" -af "volume='0.3+0.7*abs(sin(t/7))':eval=frame" -ac 2 \
	  -c:a flac $(BENCH_DIR)/loudness-180s.flac
	@$(BENCH_DIR)/bench/tolvek_loudness $(BENCH_DIR)/loudness-180s.flac

# A sharded run on a one-node Slurm cluster started on this machine, and with
# GNU parallel (root only; doc/scaling-out.md). Not part of make test.
test-cluster: build
	@bash scripts/test-cluster.sh $(BUILD_DIR)

# The run's index page in headless Chromium (doc/index-page.md): the
# page's behaviour, its timings on 10,000 files, and its screenshot in doc/.
# Not part of make test.
test-browser: build
	@bash scripts/test-browser.sh $(BUILD_DIR) test
bench-index: build
	@bash scripts/test-browser.sh $(BUILD_DIR) measure
index-screenshot: build
	@bash scripts/test-browser.sh $(BUILD_DIR) screenshot

clean:
	rm -rf $(BUILD_DIR) $(PACKAGE_DIR)

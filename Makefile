# Small entry over CMake: `make run` runs the main job, `make test` builds and runs every test.
BUILD     ?= build
JOBS      ?= $(shell nproc)
CMAKE_GEN := -G Ninja
CTEST     := ctest --output-on-failure -j $(JOBS)

.PHONY: all deps build release run test test-sanitize test-asan test-tsan format clean install bench \
        shipped uninstall deb explore

all: build

deps:
	@bash scripts/deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The demo needs only the tool and the libraries under it; the tests, fuzz replays and benchmarks
# are built by `make test`.
run: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target qkr
	@bash scripts/run.sh $(BUILD)

test: build
	cd $(BUILD) && $(CTEST)

test-asan: deps
	cmake -S . -B $(BUILD)-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQKR_SANITIZE=address,undefined
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && $(CTEST) -LE realtime

test-tsan: deps
	cmake -S . -B $(BUILD)-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQKR_SANITIZE=thread
	cmake --build $(BUILD)-tsan -j $(JOBS)
	cd $(BUILD)-tsan && TSAN_OPTIONS=halt_on_error=1 $(CTEST) -L concurrency

test-sanitize: test-asan test-tsan

# What ships and what make bench runs, in the release configuration (-O3), where optimisation
# finds warnings of its own.
release: deps
	cmake -S . -B $(BUILD)-release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)-release -j $(JOBS) --target qkr qkr-sim qkr_ifd qkr_bench

# The whole-system explorer on SEEDS seeds from SEED, under the random schedule and then PCT; a
# failing seed is shrunk to a replay file in the current directory (qkr explore --replay FILE).
SEED  ?= 1
SEEDS ?= 1000
STEPS ?= 60
explore: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target qkr
	$(BUILD)/tools/qkr/qkr explore --seed $(SEED) --seeds $(SEEDS) --steps $(STEPS) --schedule random
	$(BUILD)/tools/qkr/qkr explore --seed $(SEED) --seeds $(SEEDS) --steps $(STEPS) --schedule pct

# Benchmarks in a release build; prints one table.
bench: deps
	cmake -S . -B $(BUILD)-release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)-release -j $(JOBS) --target qkr_bench qkr
	$(BUILD)-release/bench/qkr_bench
	@echo && echo "Exploration (qkr explore, 300 seeds of 60 operations):" && \
	  $(BUILD)-release/tools/qkr/qkr explore --seed 1 --seeds 300 --steps 60
	@cmake --build $(BUILD)-release -j $(JOBS) --target qkr_ifd >/dev/null && \
	  echo && echo "APDUs and card events through pcscd:" && \
	  bash bench/pcsc_latency.sh $(CURDIR)/$(BUILD)-release/tools/pcsc/libqkr_ifd.so

# What ships, from the release configuration, building only that (no tests, so nothing else is
# built as root): the tools, the PC/SC handler where pcscd finds it and a disabled reader.conf.d
# entry. `make uninstall` removes what the last `make install` put there; `make deb` packs the
# same files as a Debian package in $(BUILD)-release.
SHIPPED := qkr qkr-sim qkr_ifd
shipped: deps
	cmake -S . -B $(BUILD)-release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)-release -j $(JOBS) --target $(SHIPPED)

install: shipped
	cmake --install $(BUILD)-release

uninstall:
	@test -f $(BUILD)-release/install_manifest.txt || { echo "no install_manifest.txt in $(BUILD)-release: nothing installed from here"; exit 1; }
	@while IFS= read -r f || [ -n "$$f" ]; do rm -fv "$(DESTDIR)$$f"; done < $(BUILD)-release/install_manifest.txt

deb: shipped
	cd $(BUILD)-release && cpack -G DEB

format:
	git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-release

# Fuzzing (clang, libFuzzer): each target runs FUZZ_SECONDS on its corpus; new inputs collect in
# build-fuzz/work/<target>, crashes in build-fuzz/findings/ (copy them into fuzz/corpus/<target>/).
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := frame atr t1 ioctl $(if $(wildcard fuzz/reader_fuzz.cc),reader)

.PHONY: fuzz
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(CURDIR)/build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQKR_FUZZ=ON -DQKR_SANITIZE=address,undefined \
	  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
	cmake --build $(CURDIR)/build-fuzz -j $(JOBS) --target $(addprefix qkr_fuzz_,$(FUZZ_TARGETS))
	@set -e; mkdir -p build-fuzz/findings; for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/work/$$t; echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
	  build-fuzz/fuzz/qkr_fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=60 -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/findings/$$t- build-fuzz/work/$$t fuzz/corpus/$$t; \
	done

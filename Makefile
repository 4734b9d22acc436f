# The project's commands. `make test` and `make run` set up, build and run;
# the build directories persist, so a second run only rebuilds what changed.
PYTHON ?= python3
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 20
CMAKE_FLAGS = -G Ninja -DPython_EXECUTABLE=$(shell command -v $(PYTHON))

run_python = PYTHONPATH=$(CURDIR)/$(1) $(PYTHON)

.PHONY: setup build test run bench fuzz asan clean

setup:
	@PYTHON=$(PYTHON) scripts/setup.sh

# $(1): build directory, $(2): extra CMake flags.
define cmake_build
	@test -f $(1)/build.ninja || cmake -S . -B $(1) $(CMAKE_FLAGS) $(2) >/dev/null
	@cmake --build $(1)
endef

build: setup
	$(call cmake_build,$(BUILD),-DCMAKE_BUILD_TYPE=Release)

test: build
	$(call run_python,$(BUILD)) -m pytest -q tests

# The main job on the bundled sample: inspect, verify and decompress the
# example archive, and show the output is the FASTQ it was made from.
run: build
	$(call run_python,$(BUILD)) -m zelk inspect examples/sample.zelk
	$(call run_python,$(BUILD)) -m zelk verify examples/sample.zelk
	$(call run_python,$(BUILD)) -m zelk decompress examples/sample.zelk -o $(BUILD)/sample.fastq -f
	@cmp $(BUILD)/sample.fastq examples/sample.fastq && echo "round trip: identical to examples/sample.fastq"

bench: setup
	@scripts/setup.sh zstd xz-utils pigz samtools
	@bash $${ZELK_DATA:-../shared/data}/make-deep-set.sh
	$(call cmake_build,$(BUILD),-DCMAKE_BUILD_TYPE=Release)
	@cmake -S . -B $(BUILD) -DZELK_BENCH=ON >/dev/null && cmake --build $(BUILD) --target zelk_bench
	$(BUILD)/zelk_bench
	$(call run_python,$(BUILD)) bench/bench_dask.py

# Sanitized build of the whole suite. The interpreter itself is not
# instrumented, so the runtime is preloaded and leak checking (which would
# report the interpreter's own allocations) is off.
asan: setup
	$(call cmake_build,$(ASAN_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELK_SANITIZE=ON)
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	ZELK_SANITIZED=1 $(call run_python,$(ASAN_BUILD)) -m pytest -q -p no:cacheprovider tests

# Every target runs even after one finds something; each one's finds are
# reported at the end. An input that runs for 20 s counts as a find: under
# the fuzz targets' decode ceiling nothing legitimate comes close.
fuzz: setup
	@scripts/setup.sh clang-19 libclang-rt-19-dev
	@test -f $(FUZZ_BUILD)/build.ninja || CC=clang-19 CXX=clang++-19 cmake -S . -B $(FUZZ_BUILD) \
	  -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELK_FUZZ=ON -DZELK_PYTHON=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD)
	@failed=""; count=0; \
	for target in $$(find $(FUZZ_BUILD) -maxdepth 1 -name 'fuzz_*' -type f -executable | sort); do \
	  name=$$(basename $$target); count=$$((count + 1)); mkdir -p $(FUZZ_BUILD)/corpus/$$name $(FUZZ_BUILD)/crashes/$$name; \
	  seeds=$$(test -d fuzz/corpus/$$name && echo fuzz/corpus/$$name); \
	  echo "== $$name"; \
	  $$target -max_total_time=$(FUZZ_SECONDS) -timeout=20 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/crashes/$$name/ $(FUZZ_BUILD)/corpus/$$name $$seeds \
	    > $(FUZZ_BUILD)/$$name.log 2>&1 || failed="$$failed $$name"; \
	  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' $(FUZZ_BUILD)/$$name.log; \
	done; \
	found=$$(echo $$failed | wc -w); echo "fuzz: $$((count - found)) passed, $$found failed"; \
	if [ -n "$$failed" ]; then echo "fuzz targets that found something:$$failed (inputs under $(FUZZ_BUILD)/crashes/)"; exit 1; fi

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)

# make demo     -- install what is missing, build for Octave, run the demo on the
#                  bundled image (IMAGE=, BLOCK=, PSNR=, OUT= for your own)
# make test     -- install what is missing, build, run every test suite
# make package  -- write the Octave package dist/tilevista-<version>.tar.gz
# make wheel    -- write the Python package's sdist and wheel into dist/python/
JOBS ?= 2
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps standalone sanitize tsan int64 octave package test test-standalone \
        test-sanitize test-tsan test-int64 test-octave test-ctrl-c test-package demo clean

all: standalone

deps:
	@scripts/install-deps

standalone: deps
	cmake -S . -B $(BUILD)/standalone -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD)/standalone -j $(JOBS)

sanitize: deps
	cmake -S . -B $(BUILD)/sanitize -DCMAKE_BUILD_TYPE=Debug -DTILEVISTA_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)/sanitize -j $(JOBS)

# The 64-bit-integer BLAS configuration (MATLAB's), against Debian's ILP64
# OpenBLAS (libopenblas64-dev); its recorded outputs against the ILP64
# reference BLAS (libblas64-dev).
int64: deps
	cmake -S . -B $(BUILD)/int64 -DCMAKE_BUILD_TYPE=Release -DTILEVISTA_BLAS_INT64=ON \
	  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)/int64 -j $(JOBS)

test-standalone: standalone
	ctest --test-dir $(BUILD)/standalone --output-on-failure -j $(JOBS)

test-sanitize: sanitize
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(BUILD)/sanitize --output-on-failure -j $(JOBS)

# The suites again under ThreadSanitizer: the pursuit's threads share no data
# outside what the crew hands over.
tsan: deps
	cmake -S . -B $(BUILD)/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTILEVISTA_THREAD_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)/tsan -j $(JOBS)

test-tsan: tsan
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp ctest --test-dir $(BUILD)/tsan --output-on-failure -j $(JOBS)

octave: deps
	scripts/build-octave

test-int64: int64
	ctest --test-dir $(BUILD)/int64 --output-on-failure -j $(JOBS)
	scripts/check-matlab-flags $(BUILD)/int64

test-octave: octave
	scripts/run-octave-tests

package:
	scripts/make-package

# pkg install / load / test / uninstall of the package, in a throw-away prefix.
test-package: deps package
	scripts/test-package

# Ctrl-C typed into an interactive Octave in the middle of long calls.
test-ctrl-c: octave
	/usr/bin/python3 tests/octave/ctrl_c_session.py $(BUILD)/octave

test: test-standalone test-sanitize test-tsan test-int64 fuzz-ci test-octave test-ctrl-c \
      test-package test-python test-wheel

demo: octave
	scripts/run-demo "$(IMAGE)" "$(BLOCK)" "$(PSNR)" "$(OUT)"

clean:
	rm -rf $(BUILD) dist
	rm -rf python/tilevista/_native*.so python/build python/tilevista.egg-info

# Fuzzing of the entry point and of the codec's decoder (clang, libFuzzer,
# ASan + UBSan), in $(BUILD)/fuzz; each fuzzer runs for the seconds given.
# make fuzz FUZZ_SECONDS=n   explores for n seconds, keeping what it found
# make fuzz-ci               a bounded run from the seeds; fails on any finding
# make fuzz-corpus           rewrites the committed seeds (fuzz/corpus/, fuzz/codec_corpus/)
FUZZ_SECONDS ?= 600
FUZZ_CI_SECONDS ?= 120

.PHONY: fuzz-build fuzz fuzz-ci fuzz-corpus

fuzz-build: deps
	CXX=clang++ cmake -S fuzz -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)/fuzz -j $(JOBS)

fuzz: fuzz-build
	fuzz/run-fuzzer $(BUILD)/fuzz $(FUZZ_SECONDS)

fuzz-ci: fuzz-build
	fuzz/run-fuzzer --ci $(BUILD)/fuzz $(FUZZ_CI_SECONDS)

fuzz-corpus: fuzz-build
	rm -rf fuzz/corpus && mkdir -p fuzz/corpus
	$(BUILD)/fuzz/make_corpus fuzz/corpus
	rm -rf fuzz/codec_corpus && mkdir -p fuzz/codec_corpus
	$(BUILD)/fuzz/make_codec_corpus fuzz/codec_corpus

# make bench  -- builds and runs the benchmarks in $(BUILD)/bench (one core, some
#                minutes): tables printed, results in $(BUILD)/bench/results.json,
#                plots in $(BUILD)/bench/plots. BENCH_FLAGS=--quick for a short check.
BENCH_FLAGS ?=

.PHONY: bench

bench:
	@scripts/install-deps bench
	bench/run_benchmarks --build $(BUILD)/bench $(BENCH_FLAGS)

# The Python package (python/), with Debian's interpreter.
# make python       builds its extension in place, for the tests and PYTHONPATH=python
# make test-python  runs its tests (pytest), also against the Octave module
# make wheel        writes its sdist and wheel into dist/python/ (python3 -m build)
# make test-wheel   installs both, offline, into throw-away virtual environments
#                   outside the tree and runs the tests against each
PYTHON ?= /usr/bin/python3

.PHONY: python test-python wheel test-wheel

python: deps
	PYTHON=$(PYTHON) scripts/build-python

test-python: python octave
	PYTHON=$(PYTHON) scripts/run-python-tests

wheel: deps
	PYTHON=$(PYTHON) scripts/build-wheel

test-wheel: wheel octave
	PYTHON=$(PYTHON) scripts/test-wheel

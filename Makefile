# make demo  -- install what is missing, build for Octave, run the demo on the
#               bundled image (IMAGE=, BLOCK=, PSNR=, OUT= for your own)
# make test  -- install what is missing, build, run every test suite
JOBS ?= 2
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps standalone sanitize octave test test-standalone test-sanitize test-octave demo clean

all: standalone

deps:
	@scripts/install-deps

standalone: deps
	cmake -S . -B $(BUILD)/standalone -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD)/standalone -j $(JOBS)

sanitize: deps
	cmake -S . -B $(BUILD)/sanitize -DCMAKE_BUILD_TYPE=Debug -DTILEVISTA_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)/sanitize -j $(JOBS)

test-standalone: standalone
	ctest --test-dir $(BUILD)/standalone --output-on-failure -j $(JOBS)

test-sanitize: sanitize
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(BUILD)/sanitize --output-on-failure -j $(JOBS)

octave: deps
	scripts/build-octave

test-octave: octave
	octave-cli --no-gui --norc tests/octave/run_tests.m

test: test-standalone test-sanitize test-octave

demo: octave
	scripts/run-demo "$(IMAGE)" "$(BLOCK)" "$(PSNR)" "$(OUT)"

clean:
	rm -rf $(BUILD)

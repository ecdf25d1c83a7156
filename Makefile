# make test  -- install what is missing, build, run every test suite
# make demo  -- install, build, run the demo on the bundled image
JOBS ?= 2
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps standalone sanitize test test-standalone test-sanitize demo clean

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

test: test-standalone test-sanitize

demo: deps
	@echo "make demo: not yet available"; exit 1

clean:
	rm -rf $(BUILD)

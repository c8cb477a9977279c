# make check: install what is missing, build, and run every test in the
# normal build and in the AddressSanitizer/UBSan build.
# make demo:  build and run the tool on a few hours of simulated data.

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)

.PHONY: all deps build build-asan test test-asan check demo bench clean

all: build

deps:
	./scripts/install_packages.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVO_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

check: test test-asan

# The programs the demo runs; a companion program the demo calls adds itself here.
DEMO_TARGETS = TAVO_L0 tavo_l0sim

demo: build
	./scripts/demo.sh $(BUILD)

bench: build
	./bench/run_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

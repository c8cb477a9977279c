# make check:   install what is missing, build, and run every test in the
#               normal build and in the AddressSanitizer/UBSan build, then
#               build, lint, install, run and remove the Debian package, and
#               run its follow service under systemd in a container, and
#               watch a live follow through Prometheus with the alert rules.
# make demo:    build the demo's programs only and run them on a few hours of
#               simulated data.
# make package: the Debian package tavo-l0_<version>_<arch>.deb in build-pkg/.
# Developer builds treat warnings as errors; the package build does not.

BUILD      ?= build
ASAN_BUILD ?= build-asan
PKG_BUILD  ?= build-pkg
DEMO_BUILD ?= build-demo
PKG_WERROR ?= OFF
JOBS       ?= $(shell nproc)

.PHONY: all deps configure build build-asan test test-asan test-package test-service test-prometheus check demo package fuzz bench clean

all: build

deps:
	./scripts/install_packages.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVO_WERROR=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVO_SANITIZE=ON -DTAVO_WERROR=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The package is built as a packager builds it (a release, warnings reported
# but not errors: GCC's -O3 analysis gives false positives), checked with
# lintian, installed with apt-get, run, and removed again.
test-package: deps
	./scripts/test_deb.sh $(PKG_BUILD)

# The package installed in a Debian container booted with its own systemd,
# its follow service started, stopped, broken and removed there.
test-service: deps
	./scripts/test_service.sh $(PKG_BUILD)

# The alert rules checked and unit-tested by promtool, then a live follow
# scraped through the node exporter's textfile collector by Prometheus, both
# started on free loopback ports, its alerts seen pending.
test-prometheus: build
	./scripts/test_prometheus.sh $(BUILD)

check: test test-asan test-package test-service test-prometheus

# The programs the demo runs; a companion program the demo calls adds itself here.
DEMO_TARGETS = TAVO_L0 tavo_l0dump tavo_l0sim tavo_l0audit tavo_quicklook tavo_catalog

# A release build of the demo's programs alone: no tests, no debug information.
demo: deps
	cmake -S . -B $(DEMO_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVO_BUILD_TESTS=OFF
	cmake --build $(DEMO_BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	./scripts/demo.sh $(DEMO_BUILD)

# A release build of the programs alone (no tests or benchmarks), packed by CPack.
package: deps
	cmake -S . -B $(PKG_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVO_BUILD_TESTS=OFF -DTAVO_WERROR=$(PKG_WERROR)
	cmake --build $(PKG_BUILD) -j $(JOBS)
	rm -f $(PKG_BUILD)/*.deb
	cd $(PKG_BUILD) && cpack -G DEB

# The fuzz targets under libFuzzer (clang), each for FUZZ_SECONDS from its
# stored corpus; new inputs land in $(FUZZ_BUILD)/corpus/, findings in
# $(FUZZ_BUILD)/findings/. make check only replays the stored corpus.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 600
FUZZ_TARGETS ?= fuzz_packets fuzz_parameters fuzz_despike fuzz_isp_row fuzz_quicklook_product fuzz_campaign_state fuzz_catalog_report fuzz_follower_metrics

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAVO_FUZZ=ON -DTAVO_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)
	./fuzz/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

bench: build
	./bench/run_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(PKG_BUILD) $(DEMO_BUILD) $(FUZZ_BUILD)

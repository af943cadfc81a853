# The two commands that matter: `make demo` and `make test` (see README.md). Both install
# what is missing from Debian's packages first (as root).
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
.DEFAULT_GOAL := build
.PHONY: deps configure build package demo test fuzz bench coverage mutate clean

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake --preset native >/dev/null
	@cmake --preset windows >/dev/null
	@cmake --preset fuzz >/dev/null

build: configure
	@cmake --build --preset native
	@cmake --build --preset windows
	@cmake --build --preset fuzz
	@echo "kqd.exe of the test build: $(CURDIR)/build/windows/bin/kqd.exe (the testbed installs make package's)"

# The release package, build/package/kqd-<version>/, checked by a second build
# elsewhere; the testbed installs its kqd.exe, so test, demo and bench build it first
# (see docs/release.md).
package: deps
	@scripts/package.sh

test: build package
	@scripts/run-tests.sh

# Each parser of outside data under libFuzzer for FUZZ_SECONDS; the corpus grows
# under build/fuzz/run, crashes land there too (see docs/benchmarks.md).
FUZZ_SECONDS ?= 60
fuzz: configure
	@cmake --build --preset fuzz
	@scripts/fuzz.sh $(FUZZ_SECONDS)

# Measures the shipped kqd.exe under Wine; ONLY=latency,idle,... runs only those
# measurements. How long it takes, and the figures: docs/benchmarks.md.
bench: build package
	@testbed/bench/bench.sh $(ONLY)

# Both tiers on gcov builds of their own (build/coverage, build/coverage-native): one
# line of line and branch coverage of src/, HTML in build/coverage/html. How long it
# takes: docs/benchmarks.md.
coverage:
	@scripts/coverage.sh

# Small faults put into the code one at a time, each run against the tests that
# should catch it, in a copy of the tree under build/mutate; TIERS=native or windows
# runs one tier, ONLY=<regex> a few mutants; the Windows tier's replays are judged by
# build/native's kqdtrace, hence the build (see docs/benchmarks.md).
mutate: build
	@scripts/mutate.sh $(TIERS)

demo: build package
	@testbed/demo.sh $(SOURCE)

clean:
	@if [ -d build/windows/wine ]; then build/windows/wine-run --stop-server; fi
	@if [ -d build/coverage/wine ]; then build/coverage/wine-run --stop-server; fi
	rm -rf build

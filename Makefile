# The two commands that matter: `make demo` and `make test`. Both install what is
# missing from Debian's packages first (as root).
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
.DEFAULT_GOAL := build
.PHONY: deps configure build package demo test fuzz bench coverage clean

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
# elsewhere; the testbed installs its kqd.exe, so test, demo and bench build it first.
package: deps
	@scripts/package.sh

test: build package
	@scripts/run-tests.sh

# Each parser of outside data under libFuzzer for FUZZ_SECONDS; the corpus grows
# under build/fuzz/run, crashes land there too.
FUZZ_SECONDS ?= 60
fuzz: configure
	@cmake --build --preset fuzz
	@scripts/fuzz.sh $(FUZZ_SECONDS)

# Measures the service under Wine (about 10 minutes); ONLY=latency,idle,... for a part.
bench: build package
	@testbed/bench/bench.sh $(ONLY)

# Both tiers on gcov builds of their own (build/coverage, build/coverage-native), about
# 30 minutes: one line of line and branch coverage of src/, HTML in build/coverage/html.
coverage:
	@scripts/coverage.sh

demo: build package
	@testbed/demo.sh $(SOURCE)

clean:
	@if [ -d build/windows/wine ]; then build/windows/wine-run --stop-server; fi
	@if [ -d build/coverage/wine ]; then build/coverage/wine-run --stop-server; fi
	rm -rf build

#!/usr/bin/env bash
# fuzz.sh SECONDS: every fuzz target for SECONDS, one after the other, each from its
# committed corpus plus what earlier runs found (build/fuzz/run/<target>/corpus).
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
status=0
for target in build/fuzz/bin/fuzz_*; do
  name=${target##*/fuzz_}
  tests/fuzz/run.sh "$target" "tests/fuzz/corpus/$name" "build/fuzz/run/$name" "$seconds" || status=1
done
exit $status

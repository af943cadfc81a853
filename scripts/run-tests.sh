#!/usr/bin/env bash
# Every test of every tier: the native core, the parsers under libFuzzer for a few
# seconds each, then the Windows components and the end-to-end scenarios under
# Wine. Ends with one "tests: N passed, N failed" line. KQD_TEST_PRESETS names
# other presets to run instead (make coverage runs its own two).
set -uo pipefail
cd "$(dirname "$0")/.."

passed=0
failed=0
status=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

for preset in ${KQD_TEST_PRESETS:-native fuzz windows}; do
  echo "== ctest --preset $preset"
  ctest --preset "$preset" "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  [ "$rc" -eq 0 ] || status=1
  # "NN% tests passed, F tests failed out of T"
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$line" ]; then
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f))
    failed=$((failed + f))
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  fi
done

echo
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$status" -eq 0 ]

#!/usr/bin/env bash
# Every test of every tier: the native core, the parsers under libFuzzer for a few
# seconds each, then the Windows components and the end-to-end scenarios under
# Wine. Ends with one "tests: N passed, N failed" line; when a test failed, then
# each failed test's output and the end of the Wine prefix's log, so that a CI log
# shows why without a rerun. KQD_TEST_PRESETS names other presets to run instead
# (make coverage runs its own two).
set -uo pipefail
cd "$(dirname "$0")/.."

passed=0
failed=0
status=0
failing_presets=()
log=$(mktemp)
trap 'rm -f "$log"' EXIT

for preset in ${KQD_TEST_PRESETS:-native fuzz windows}; do
  echo "== ctest --preset $preset"
  ctest --preset "$preset" "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  [ "$rc" -eq 0 ] || { status=1; failing_presets+=("$preset"); }
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

# The output ctest kept of one test of its last run: BUILD-TREE NAME
test_output() {
  awk -v name="$2" '
    $0 ~ /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); mine = ($0 == name); next }
    mine && /^Output:$/ { out = 1; getline; next }
    mine && out && /^<end of output>$/ { exit }
    mine && out { print; found = 1 }
    END { if (!found) print "(ctest kept no output)" }' "$1/Testing/Temporary/LastTest.log"
}

# Each preset's build tree is build/<preset> (CMakePresets.json, cmake/coverage-presets.json).
failure_details() {
  local preset tree name lines
  for preset in "${failing_presets[@]}"; do
    tree=build/$preset
    if [ -s "$tree/Testing/Temporary/LastTestsFailed.log" ] && [ -f "$tree/Testing/Temporary/LastTest.log" ]; then
      while IFS= read -r name; do
        echo
        echo "== failed: $name ($preset)"
        test_output "$tree" "$name"
      done < <(sed 's/^[0-9]*://' "$tree/Testing/Temporary/LastTestsFailed.log")
    else
      echo
      echo "== ctest --preset $preset failed without a list of failed tests in $tree/Testing/Temporary"
    fi
    # Wine's services (kqd.exe among them) write to the prefix's log; KQD_WINEDEBUG fills
    # it.
    [ -f "$tree/wine/wine.log" ] || continue
    lines=$(tr -d '\r' <"$tree/wine/wine.log" | tail -n 100)
    echo
    if [ -n "$lines" ]; then
      echo "== the last 100 lines of $tree/wine/wine.log"
      printf '%s\n' "$lines"
    else
      echo "== $tree/wine/wine.log: no error from Wine's services (KQD_WINEDEBUG=warn+all,fixme+all for more)"
    fi
  done
}

echo
echo "tests: $passed passed, $failed failed"
if [ "$failed" -eq 0 ] && [ "$status" -eq 0 ]; then
  exit 0
fi
failure_details
exit 1

#!/usr/bin/env bash
# make coverage: the native tier and the whole Windows tier (components and end-to-end
# scenarios) on builds instrumented with gcov, then one line of line and branch
# coverage of src/ for both tiers together, and an HTML report.
#   build/coverage-native   the core and its tests, g++ --coverage, no sanitizers
#   build/coverage          kqd.exe, the testbed's user-mode code and the Windows tests,
#                           MinGW --coverage; the kernel-driver doubles are left plain
# Under Wine every process, the service included, writes its counts through
# GCOV_PREFIX=Z:, which build/coverage/wine.env sets for the harness (see there).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=build/coverage
nat=build/coverage-native
out=$win/gcovr
html=$win/html

scripts/install-deps.sh coverage || exit 1
for preset in coverage-native coverage; do
  cmake --preset "$preset" >/dev/null || exit 1
  cmake --build --preset "$preset" || exit 1
done
# The trace scenarios check their replays with the native kqdtrace (build/native).
cmake --preset native >/dev/null && cmake --build --preset native --target kqdtrace || exit 1

# Counts of this run only. A wineserver of this prefix that is still up may have
# started services.exe without GCOV_PREFIX: end it (and whatever would still write
# counts on exit), so the run starts its own.
"$win/wine-run" --stop-server
find "$win" "$nat" -name '*.gcda' -delete

# gcov merges each process's counts into the file on exit, under a file lock (fcntl
# on Linux, _locking under Wine), so processes that share objects add up.
export KQD_SERVICE_EXE=$root/$win/bin/kqd.exe
KQD_TEST_PRESETS="coverage-native coverage" scripts/run-tests.sh
tests_rc=$?

# A writer that could not lock or read a count file says so on its stderr.
grep -h 'profiling:' "$nat/Testing/Temporary/LastTest.log" "$win/Testing/Temporary/LastTest.log" \
  "$win/wine/wine.log" 2>/dev/null | sort | uniq -c | sed 's/^/coverage: gcov: /'

rm -rf "$out" "$html"
mkdir -p "$out" "$html"
# The product's own objects only (each tree's src/: kqd_core, kqd_lib, kqd): what the
# tests and the testbed instantiate from the headers of src/ in their own objects
# does not count for it. The processes that ran those objects all count.
gcovr_common=(--root "$root" --filter "$root/src/" -j 2)
gcovr "${gcovr_common[@]}" --gcov-executable gcov --object-directory "$nat" \
  --json "$out/native.json" "$nat/src" || exit 1
gcovr "${gcovr_common[@]}" --gcov-executable x86_64-w64-mingw32-gcov-posix --object-directory "$win" \
  --json "$out/windows.json" "$win/src" || exit 1
gcovr --root "$root" --add-tracefile "$out/native.json" --add-tracefile "$out/windows.json" \
  --json "$out/coverage.json" --json-summary "$out/summary.json" \
  --html-details "$html/index.html" --html-title "KQD: coverage of src/" || exit 1

python3 scripts/coverage_summary.py "$out" || exit 1
echo "HTML: $root/$html/index.html"
exit "$tests_rc"

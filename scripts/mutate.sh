#!/usr/bin/env bash
# make mutate: does each test tier notice a small fault in the code it covers?
#
#   scripts/mutate.sh [native|windows]... [--list]
#
# native   the mutants generated over src/core (scripts/mutate/generate.py), each
#          against the native tests that link kqd_core: core_tests, trace_tests and
#          the kqdtrace tests (trace.*)
# windows  the hand-kept mutants of scripts/mutate/windows.tsv, each against the
#          ctest tests its row names, in the windows preset under Wine
# --list   the mutants, without running any
# Both tiers unless named. Environment:
#   ONLY=<regex>       only the mutants whose id matches (extended regex), to re-run a few
#   MUTATE_TIMEOUT=<s> a test run taking longer counts as killed by timeout (native: each
#                      test program, 30; windows: ctest --timeout, 300)
#
# Everything happens in a copy of the tree, one for each tier (build/mutate/tree,
# build/mutate/tree-windows), refreshed from the working tree at each run: files of
# the same content are left alone, so the copy's builds stay incremental. The working
# tree is never written; the two tiers can run at once. One line per mutant and the
# score go to stdout and build/mutate/report.txt (report-<tier>.txt when one tier
# runs). Exit 1 when a mutant that the equivalent lists do not name survives; 2 on an
# error of the lists or the tree.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
here=$root/scripts/mutate
out=$root/build/mutate

tiers=()
list_only=0
for arg in "$@"; do
  case $arg in
    native | windows) tiers+=("$arg") ;;
    --list) list_only=1 ;;
    *) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
  esac
done
[ ${#tiers[@]} -gt 0 ] || tiers=(native windows)
only=${ONLY:-}

mkdir -p "$out"
mutants=$(mktemp)
warnings=$(mktemp)
trap 'rm -f "$mutants" "$warnings"' EXIT
# Listed from the working tree; each copy is made equal to it before its first mutant,
# and each mutant is checked against the copy as it is applied.
python3 "$here/generate.py" list "$root" "$here/equivalent.tsv" "$here/windows.tsv" >"$mutants" 2>"$warnings" ||
  { cat "$warnings" >&2; exit 2; }

# The rows of this run: the tiers asked for, ONLY applied.
selected=()
while IFS=$'\x1f' read -r tier id rest; do
  [[ " ${tiers[*]} " == *" $tier "* ]] || continue
  [ -z "$only" ] || [[ $id =~ $only ]] || continue
  selected+=("$tier"$'\x1f'"$id"$'\x1f'"$rest")
done <"$mutants"

if [ "$list_only" = 1 ]; then
  for row in "${selected[@]}"; do
    IFS=$'\x1f' read -r tier id _ _ _ _ _ reason <<<"$row"
    printf '%-8s %s%s\n' "$tier" "$id" "${reason:+  (equivalent: $reason)}"
  done
  cat "$warnings" >&2
  echo "mutate: ${#selected[@]} mutants" >&2
  exit 0
fi

report=$out/report.txt
[ ${#tiers[@]} -eq 2 ] || report=$out/report-${tiers[0]}.txt
: >"$report"
say() { printf '%s\n' "$*" | tee -a "$report"; }
timeout_s=${MUTATE_TIMEOUT:-}

# The copy of a tier and its files: sets tree, log and backup.
copy_of() { # TIER
  tree=$out/tree
  [ "$1" = native ] || tree=$out/tree-$1
  log=$out/last-$1.log
  backup=$out/original-$1
}

# Taken for this run (it holds a mutant while the run goes on) and refreshed.
take_copy() { # TIER
  copy_of "$1"
  mkdir -p "$tree"
  exec {lock}>"$tree.lock"
  flock -n "$lock" || { echo "mutate: another run is using $tree" >&2; exit 2; }
  python3 "$here/generate.py" sync "$root" "$tree" || exit 2
}

# The file a mutant is in, and its original, for the trap: a copy left mutated would
# make every later run wrong.
mutated=
restore() {
  [ -n "$mutated" ] || return 0
  cp "$backup" "$mutated" && mutated=
}
trap 'restore; rm -f "$mutants" "$warnings"' EXIT
trap 'restore; echo "mutate: interrupted" >&2; exit 130' INT TERM

# The first failed test of a GoogleTest run's output, or what ended the run.
gtest_killer() { # LOG RC
  local name
  name=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\).*/\1/p' "$1" | head -1)
  if grep -qE 'ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:' "$1"; then
    echo "${name:-$(last_run "$1")} (sanitizer)"
  elif [ "$2" -eq 124 ] || [ "$2" -eq 137 ]; then
    echo "$(last_run "$1") (timeout)"
  elif [ -n "$name" ]; then
    echo "$name"
  else
    echo "$(last_run "$1") (crash, exit $2)"
  fi
}
last_run() { sed -n 's/^\[ RUN      \] \(.*\)/\1/p' "$1" | tail -1; }

# A build of the copy, tried twice: a compiler killed by a loaded machine is no
# reason to call a mutant invalid.
build() { # BUILD-TREE CMAKE-ARGS...
  cmake --build "$1" -j2 "${@:2}" >"$log" 2>&1 || cmake --build "$1" -j2 "${@:2}" >"$log" 2>&1
}

# Why a build failed, from its log: the compiler's first error.
compile_error() { # LOG
  local error
  error=$(sed -n 's/.* error: //p' "$1" | head -1)
  echo "(does not compile${error:+: $error})"
}

# The first failed test of a ctest run: "  12 - name (Failed)", "(Timeout)" kept.
ctest_killer() { # LOG
  local line
  line=$(sed -n '/The following tests FAILED:/,$p' "$1" | sed -n 's/^[[:space:]]*[0-9]* - \(.*\)$/\1/p' | head -1)
  line=${line% (Failed)}
  echo "${line:-ctest failed without a list of failed tests}"
}

# The copy's build tree of a preset, configured once. Warnings are no errors there: a
# mutant is wrong on purpose, and what the compiler says of it is not a test. The
# mutants of one file differ by a character, so ccache mostly has their objects.
configure() { # PRESET CMAKE-ARGS...
  grep -qs '^KQD_WERROR:BOOL=OFF$' "$tree/build/$1/CMakeCache.txt" && return 0
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  (cd "$tree" && cmake --preset "$1" -DKQD_WERROR=OFF "${launcher[@]}" "${@:2}") >"$log" 2>&1 ||
    { cat "$log" >&2; echo "mutate: the $1 preset does not configure in $tree" >&2; exit 2; }
}

native_ready=0
native_setup() {
  [ "$native_ready" = 1 ] && return 0
  take_copy native
  configure native -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
  native_run >/dev/null
  if [ "$result" != survived ]; then
    echo "mutate: the native tests do not pass unmutated in $tree: $result $killer" >&2
    exit 2
  fi
  native_ready=1
}

# Sets result (killed, survived, invalid) and killer. The cheap core_tests first: most
# mutants die there and the rest need not be linked.
native_run() {
  local bin=$tree/build/native t=${timeout_s:-30} rc step
  result=killed
  for step in core trace cli; do
    case $step in
      core) targets=(core_tests) ;;
      trace) targets=(trace_tests kqdtrace) ;;
      cli) targets=() ;;
    esac
    if [ ${#targets[@]} -gt 0 ] && ! build "$bin" --target "${targets[@]}"; then
      # A test's own static_assert is a test too.
      killer=$(sed -n 's|^\(.*/tests/[^:]*:[0-9]*\):[0-9]*: error: static assertion failed.*|\1 (static_assert)|p' "$log" |
        head -1)
      [ -n "$killer" ] && killer=${killer#"$tree/"} && return
      result=invalid killer=$(compile_error "$log")
      return
    fi
    case $step in
      core) (cd "$bin/tests/core" && timeout -k 5 "$t" ./../../bin/core_tests --gtest_fail_fast) >"$log" 2>&1 ;;
      trace) (cd "$bin/tests/trace" && timeout -k 5 "$t" ./../../bin/trace_tests --gtest_fail_fast) >"$log" 2>&1 ;;
      cli) ctest --test-dir "$bin" -R '^trace\.' --stop-on-failure --timeout "$t" >"$log" 2>&1 ;;
    esac
    rc=$?
    if [ "$rc" -ne 0 ]; then
      if [ "$step" = cli ]; then killer=$(ctest_killer "$log"); else killer=$(gtest_killer "$log" "$rc"); fi
      return
    fi
  done
  result=survived killer=
}

windows_ready=0
windows_setup() {
  [ "$windows_ready" = 1 ] && return 0
  take_copy windows
  configure windows
  # Unmutated, the tests that the list names must pass, or every mutant would look killed.
  local regexes=() row tier regex reason numbers=()
  for row in "${selected[@]}"; do
    IFS=$'\x1f' read -r tier _ _ _ _ _ regex reason <<<"$row"
    [ "$tier" = windows ] && [ -z "$reason" ] && regexes+=("$regex")
  done
  [ ${#regexes[@]} -gt 0 ] || { windows_ready=1; return 0; }
  [ -x "$root/build/native/bin/kqdtrace" ] ||
    { echo "mutate: windows: no build/native/bin/kqdtrace to judge the replays (make build)" >&2; exit 2; }
  echo "mutate: windows: building $tree/build/windows and running the listed tests unmutated" >&2
  build "$tree/build/windows" || { echo "mutate: $tree/build/windows does not build (log: $log)" >&2; exit 2; }
  # By number: ctest's regular expressions allow only a few groups, too few for
  # the rows' expressions joined into one.
  while IFS= read -r regex; do
    numbers+=($(ctest --test-dir "$tree/build/windows" -N -R "$regex" | sed -n 's/^ *Test *#\([0-9]*\):.*/\1/p'))
  done < <(printf '%s\n' "${regexes[@]}" | sort -u)
  [ ${#numbers[@]} -gt 0 ] || { echo "mutate: the windows rows select no test" >&2; exit 2; }
  windows_run -I "0,0,0,$(printf '%s\n' "${numbers[@]}" | sort -un | paste -sd,)"
  if [ "$result" != survived ]; then
    echo "mutate: the listed windows tests do not pass unmutated in $tree: $result $killer (log: $log)" >&2
    exit 2
  fi
  windows_ready=1
}

windows_run() { # CTEST-SELECTION (-R REGEX or -I NUMBERS)
  local bin=$tree/build/windows
  result=killed
  if ! build "$bin"; then
    result=invalid killer=$(compile_error "$log")
    return
  fi
  # The scenarios install this kqd.exe instead of the release package's; replays are
  # judged by the working tree's kqdtrace, unmutated.
  if KQD_SERVICE_EXE=$bin/bin/kqd.exe KQD_NATIVE_BIN=$root/build/native/bin ctest --test-dir "$bin" "$@" -j1 --timeout "${timeout_s:-300}" \
      >"$log" 2>&1; then
    if grep -q 'No tests were found' "$log"; then
      result=invalid killer="(the regex selects no test)"
      return
    fi
    result=survived killer=
    return
  fi
  killer=$(ctest_killer "$log")
}

started=$(date +%s)
declare -A count=([killed]=0 [survived]=0 [equivalent]=0 [invalid]=0)
declare -A tier_count=([native]=0 [windows]=0)
while IFS= read -r line; do say "$line"; done <"$warnings"
for row in "${selected[@]}"; do
  IFS=$'\x1f' read -r tier id file offset original replacement regex reason <<<"$row"
  if [ -n "$reason" ]; then
    say "$(printf '%-11s %s  (%s)' equivalent "$id" "$reason")"
    count[equivalent]=$((count[equivalent] + 1))
    continue
  fi
  "${tier}_setup"
  copy_of "$tier"
  cp -p "$tree/$file" "$backup"
  mutated=$tree/$file
  python3 "$here/generate.py" apply "$mutated" "$offset" "$original" "$replacement" || exit 2
  if [ "$tier" = native ]; then native_run; else windows_run -R "$regex"; fi
  # A new time, so that make builds the original again (ccache has it).
  restore
  case $result in
    killed) say "$(printf '%-11s %s  by %s' killed "$id" "$killer")" ;;
    survived) say "$(printf '%-11s %s' survived "$id")" ;;
    invalid) say "$(printf '%-11s %s  %s' invalid "$id" "$killer")" ;;
  esac
  count[$result]=$((count[$result] + 1))
  [ "$result" = invalid ] || tier_count[$tier]=$((tier_count[$tier] + 1))
done

minutes=$(( ($(date +%s) - started + 30) / 60 ))
run=$((count[killed] + count[survived]))
say "mutate: ${count[killed]} of $run killed, ${count[equivalent]} equivalent, ${count[survived]} survived," \
  "${count[invalid]} invalid (native ${tier_count[native]}, windows ${tier_count[windows]}), $minutes min"
[ "${count[survived]}" -eq 0 ]

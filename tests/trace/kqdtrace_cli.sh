#!/bin/bash
# kqdtrace's exit codes and outputs: 0 as expected, 1 different, 2 bad input,
# 3 a replay whose timing cannot be judged.
set -u
kqdtrace=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

expect_exit() {  # expect_exit CODE DESCRIPTION -- COMMAND...
  local want=$1 what=$2
  shift 3
  "$@" >"$dir/out" 2>"$dir/err"
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL: $what: exit $got, expected $want"
    cat "$dir/out" "$dir/err"
    failures=$((failures + 1))
  fi
}

expect_output() {  # expect_output DESCRIPTION PATTERN (in the last command's stdout and stderr)
  if ! grep -q -- "$2" "$dir/out" "$dir/err"; then
    echo "FAIL: $1: no \"$2\" in the output"
    cat "$dir/out" "$dir/err"
    failures=$((failures + 1))
  fi
}

# d, the sensor's debounce as the service's table gives it, times the records.
d=$("$kqdtrace" sources | awk '$1 == "sensor" { print $3 }')
[[ $d =~ ^[0-9]+$ ]] || { echo "FAIL: kqdtrace sources gives no sensor delay"; exit 1; }
cat >"$dir/trace.csv" <<'CSV'
# laptop, a held step, tablet
time_ms,a,b
0,100,90
500,170,90
1000,355,90
CSV
cat >"$dir/good.rec" <<CSV
kind,time_ms,a,b,value
source,0,,,sensor
start,0,,,
slatestart,0,,,0
input,0.2,100,90,
slate,$((d + 10)).0,,,0
energy,$((d + 10)).5,,,9
energy,$((d + 11)).0,,,1
mode,$((d + 12)).0,,,1
slatestate,$((d + 40)).0,,,1
input,500.1,170,90,
input,1000.3,355,90,
slate,$((1000 + d + 10)).5,,,0
energy,$((1000 + d + 11)).0,,,8
energy,$((1000 + d + 11)).5,,,2
mode,$((1000 + d + 13)).0,,,2
slatestate,$((1000 + d + 40)).0,,,0
CSV
sed "s/^energy,$((1000 + d + 11)).5,,,2\$/energy,$((1000 + d + 11)).5,,,3/" "$dir/good.rec" >"$dir/wrong.rec"
grep -v "^slatestate,$((1000 + d + 40))" "$dir/good.rec" >"$dir/unsynced.rec"
grep -v '^slatestart\|^slatestate' "$dir/good.rec" >"$dir/old.rec"
# The tablet input a debounce after the held step, and a trace with a gap just short of it.
sed "s/^input,1000.3,/input,$((500 + d)).3,/" "$dir/good.rec" >"$dir/ambiguous.rec"
printf 'time_ms,a,b\n0,100,90\n%d,355,90\n' $((d - 20)) >"$dir/ambiguous.csv"
printf 'time_ms,a,b\n0,100,90\n5,1\n' >"$dir/bad.csv"

expect_exit 0 "expect" -- "$kqdtrace" expect "$dir/trace.csv" --source sensor
expect_output "expect lists the publications" "^$((1000 + d)).0,2$"
expect_exit 2 "expect of a gap near the debounce" -- "$kqdtrace" expect "$dir/ambiguous.csv" --source sensor
expect_output "ambiguity is named" "timing ambiguous"
expect_exit 2 "expect of a malformed trace" -- "$kqdtrace" expect "$dir/bad.csv" --source sensor
expect_output "the line is named" "line 3"
expect_exit 2 "expect without modes for wmi" -- "$kqdtrace" expect "$dir/trace.csv" --source wmi
expect_exit 2 "unknown source" -- "$kqdtrace" expect "$dir/trace.csv" --source gyro
expect_exit 2 "bad start mode" -- "$kqdtrace" expect "$dir/trace.csv" --source sensor --start -1
expect_exit 2 "missing file" -- "$kqdtrace" expect "$dir/none.csv" --source sensor
expect_exit 2 "unknown option" -- "$kqdtrace" check "$dir/trace.csv" "$dir/good.rec" --fast yes

expect_exit 0 "check of a matching record" -- "$kqdtrace" check "$dir/trace.csv" "$dir/good.rec"
expect_output "check verdict" "check: 2 publications as expected"
expect_exit 1 "check of a wrong request" -- "$kqdtrace" check "$dir/trace.csv" "$dir/wrong.rec"
expect_output "the difference is named" "energy requests 8 3, expected 8 2"
expect_exit 1 "check of a slate left unsynced" -- "$kqdtrace" check "$dir/trace.csv" "$dir/unsynced.rec"
expect_output "the write that never showed is named" "has not shown by the end of the record"
expect_exit 0 "check of a record without slate states" -- "$kqdtrace" check "$dir/trace.csv" "$dir/old.rec"
expect_output "an old record is not judged on the slate" "^slate: not judged"
expect_exit 3 "check of an ambiguous replay" -- "$kqdtrace" check "$dir/trace.csv" "$dir/ambiguous.rec"
expect_exit 2 "check of a record that is a trace" -- "$kqdtrace" check "$dir/trace.csv" "$dir/trace.csv"

expect_exit 0 "report" -- "$kqdtrace" report "$dir/trace.csv" "$dir/good.rec"
expect_output "report latency" "latency: to Mode median"
expect_output "report header" "^   time_ms  input                          expected Mode       energy   slate         to Mode   to energy  result$"
expect_output "report row" "^    1000.3  A 355 B 90                     2        2          8 2      write, slate  $(printf '%-9s %-9s' $((d + 12)).7 $((d + 10)).7)  ok$"

expect_exit 0 "svg" -- "$kqdtrace" svg "$dir/trace.csv" "$dir/good.rec" "$dir/out.svg" --title "x & y"
grep -q "x &amp; y" "$dir/out.svg" || { echo "FAIL: svg title"; failures=$((failures + 1)); }
expect_exit 2 "svg into a missing folder" -- "$kqdtrace" svg "$dir/trace.csv" "$dir/good.rec" "$dir/no/out.svg"

expect_exit 0 "derive" -- "$kqdtrace" derive "$dir/trace.csv"
expect_output "derived modes" "^1000,355,90,2$"
cp "$dir/out" "$dir/derived.csv"
expect_exit 0 "a derived trace replays through wmi" -- "$kqdtrace" expect "$dir/derived.csv" --source wmi
expect_output "wmi publishes each row" "# 3 publications"

if [ "$failures" != 0 ]; then
  echo "kqdtrace CLI: $failures failures"
  exit 1
fi
echo "kqdtrace CLI: all as expected"

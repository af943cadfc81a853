#!/usr/bin/env bash
# Measures the shipped kqd.exe (KQD_SERVICE_EXE, the package's unless the
# environment names another) on the emulated convertible, under Wine, and prints
# one table; the same figures go to $KQD_BUILD/bench/bench.json. Benchmarks
# measure: only a figure that could not be taken at all fails the run. Each part
# says on stderr, as it starts, what it does and about how long it takes.
#   bench.sh [latency,floor,idle,burst,display,service,size]   (default: all)
#   BENCH_IDLE_S, BENCH_DISPLAY_CYCLES, BENCH_SERVICE_CYCLES, BENCH_BURST override the sizes.
set -u
KQD_TESTBED=$(cd "$(dirname "$0")/.." && pwd)
KQD_BUILD=${KQD_BUILD:-$KQD_TESTBED/../build/windows}
KQD_BUILD=$(cd "$KQD_BUILD" && pwd)
export KQD_TESTBED KQD_BUILD
. "$KQD_TESTBED/cli/lib.sh"
kqdtrace=${KQD_NATIVE_BIN:-$KQD_TESTBED/../build/native/bin}/kqdtrace
out=$KQD_BUILD/bench
mkdir -p "$out"
log=$out/bench.log
: >"$log"
parts=latency,floor,idle,burst,display,service,size
only=${1:-$parts}
for part in ${only//,/ }; do
  [[ ",$parts," == *",$part,"* ]] || { echo "usage: bench.sh [$parts] (not \"$part\")" >&2; exit 2; }
done
idle_s=${BENCH_IDLE_S:-60}
display_cycles=${BENCH_DISPLAY_CYCLES:-2000}
service_cycles=${BENCH_SERVICE_CYCLES:-200}
burst=${BENCH_BURST:-10000}

kqdtb() { "$KQD_TESTBED/kqdtb" "$@" 2>>"$log" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
quiet() { "$@" >>"$log" 2>&1; }
set_up() { quiet "${@:2}" || fail "set-up failed: $1"; }
wanted() { [[ ",$only," == *",$1,"* ]]; }
fail() { echo "bench: $* (details: $log)" >&2; cleanup; exit 1; }
cleanup() {
  quiet "$KQD_TESTBED/kqdtb" remove-service
  for double in power sensors wmi davodira slate pwraux; do quiet "$KQD_TESTBED/kqdtb" "remove-$double"; done
  quiet kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f
}
. "$KQD_TESTBED/bench/measure.sh"

rows=()   # "figure|measured|compared with|ratio"
json=()   # "key": value
row() { rows+=("$1|$2|$3|$4"); }
put() { json+=("\"$1\": $2"); }

kqd_service_exe_ready 2>>"$log" || fail "no kqd.exe to measure at $KQD_SERVICE_EXE"
exe_note=$([ "$kqd_service_exe_packaged" = 1 ] && echo "the package's, as the testbed installs it" ||
  echo "KQD_SERVICE_EXE as given")
echo "bench: measuring $KQD_SERVICE_EXE ($exe_note)" >&2
put exe "{\"path\": \"$KQD_SERVICE_EXE\", \"packaged\": $([ "$kqd_service_exe_packaged" = 1 ] && echo true || echo false), \"sha256\": \"$(sha256sum "$KQD_SERVICE_EXE" | cut -d' ' -f1)\"}"

begin "set-up: the doubles and the service installed" 20
quiet kqd_wine_start_server || fail "no Wine prefix"
cleanup
kqd_machine_up set_up 2009
kqd_source_table 2>>"$log" || fail "no list of the mode sources"
mapfile -t sources < <(kqd_sources)
quiet "$KQD_TESTBED/kqdtb" install-service || fail "installing the service"
cmp -s "$KQD_SERVICE_EXE" "$KQD_SYSTEM32/kqd.exe" || fail "the installed kqd.exe is not $KQD_SERVICE_EXE"

if wanted latency || wanted floor; then
  trace=$out/latency-sensor.csv
  latency_trace >"$trace"
  changes=$(($(grep -c '^[0-9]' "$trace") - 1))
  replay_s=$(awk -F, '/^[0-9]/ {t = $1} END {printf "%d", t / 1000 + 2}' "$trace")
  if wanted latency && wanted floor; then
    begin "latency: ${#sources[@]} sources x $changes changes, through the service, then with the replayer in its place (the floor)" \
      $((${#sources[@]} * (2 * replay_s + 11)))
  elif wanted latency; then
    begin "latency: ${#sources[@]} sources x $changes changes through the service" $((${#sources[@]} * (replay_s + 8)))
  else
    begin "latency floor: ${#sources[@]} sources x $changes changes with the replayer in the service's place" \
      $((${#sources[@]} * (replay_s + 3)))
  fi
  for source in "${sources[@]}"; do
    input=$trace
    if [ "$source" != sensor ]; then input=$out/latency-$source.csv; "$kqdtrace" derive "$trace" >"$input"; fi
    figures=null floor=null
    if wanted latency; then
      start_with "$source"
      record=$out/latency-$source.record.csv
      kqdtb replay --source "$source" "$input" "$record" >>"$log" || fail "replaying through $source"
      figures=$("$kqdtrace" latency "$input" "$record") || fail "no latency figures for $source"
      put "latency_$source" "$figures"
      stop_service
    fi
    # Right after the service's run, so both meet the machine's load alike.
    if wanted floor; then
      record=$out/floor-$source.record.csv
      floor_replay "$source" "$input" "$record" || fail "the floor replay of $source"
      floor=$("$kqdtrace" latency "$input" "$record") || fail "no floor figures for $source"
      put "floor_$source" "$floor"
    fi
    latency_rows "$source" "$figures" "$floor"
  done
fi

if wanted idle; then
  begin "idle: detection running, no input" $((idle_s + 10))
  start_with sensor
  sleep 2
  before=$(sample)
  sleep "$idle_s"
  after=$(sample)
  stop_service
  idle_rows "$before" "$after" "$idle_s"
fi

if wanted burst; then
  begin "burst: $burst sensor reports back to back" $((burst / 1000 + 5))
  start_with sensor
  kqd_fold_until sensor 1
  kqdtb pwraux-clear >/dev/null
  before=$(sample)
  delivery=$(kqdtb sensor-burst "$burst" $(kqd_mode_angles 1) $(kqd_mode_angles 2)) || fail "the burst"
  sleep 1
  after=$(sample)
  publications=$(raw_mode_requests)
  [ "$(stored_mode)" = 2 ] || echo "bench: after the burst Mode is $(stored_mode), not 2" | tee -a "$log" >&2
  stop_service
  burst_rows "$before" "$after" "$delivery" "$publications"
fi

if wanted display; then
  begin "display churn: $display_cycles off/on cycles" $((display_cycles * 55 / 1000 + 15))
  start_with sensor
  sleep 2
  before=$(sample)
  cycled=$(kqdtb display-cycle "$display_cycles") || fail "the display cycles"
  sleep 5  # the last start of detection, and pool threads retiring
  after=$(sample)
  kqd_fold_until sensor 3 || echo "bench: after the display cycles detection does not follow a fold" | tee -a "$log" >&2
  stop_service
  churn_rows display "$display_cycles" "$before" "$after" "$cycled" "each waited for"
fi

if wanted service; then
  begin "service churn: $service_cycles stop/start cycles" $((service_cycles * 225 / 1000 + 20))
  # The first and the last start measured the same way, the rest timed in one loop.
  start_with sensor
  sleep 2
  before=$(sample)
  stop_service
  cycled=$(kqdtb service-cycle KQD $((service_cycles - 2))) || fail "the service cycles"
  start_with sensor
  sleep 2
  after=$(sample)
  stop_service
  churn_rows service "$service_cycles" "$before" "$after" "$cycled" \
    "timed over $((service_cycles - 2)); $(json_field "$cycled" stop_answers_lost) stop answers lost by Wine"
fi

if wanted size; then
  begin "size: the shipped kqd.exe, its imports and its working set" 10
  start_with sensor
  sleep 2
  size_rows "$(sample)"
  stop_service
fi

begin "clean-up" 10
cleanup
finish
print_table
write_json >"$out/bench.json"
print_table >"$out/bench.txt"
echo "(also $out/bench.json and bench.txt)"

#!/usr/bin/env bash
# usage: trace_replay.sh TRACE_FILE [SOURCE]   (a name kqdtb sources lists; sensor by default)
# Replays a posture trace in real time into the installed kqd.exe through one mode
# source, then has the native analysis check what the service published. The record
# and a picture of the replay stay in $KQD_BUILD/traces/.
. "$(dirname "$0")/lib.sh"
trace=${1:?usage: trace_replay.sh TRACE_FILE [SOURCE]}
source=${2:-sensor}
kqd_wine_start_server || exit 1
kqd_source_table || exit 1
kqd_is_source "$source" || { echo "unknown source $source (not in kqdtb sources: $(kqd_sources | paste -sd' '))" >&2; exit 2; }
[ -f "$trace" ] || { echo "no trace $trace" >&2; exit 2; }
trace=$(realpath "$trace")
name=$(basename "$trace" .csv)
KQD_NATIVE_BIN=${KQD_NATIVE_BIN:-$KQD_TESTBED/../build/native/bin}
kqdtrace=$KQD_NATIVE_BIN/kqdtrace
out_dir=$KQD_BUILD/traces
mkdir -p "$out_dir"
# A sensor replay keeps the trace's name; another source adds its own to the files.
stem=$name; [ "$source" = sensor ] || stem=$name.$source
record=$out_dir/$stem.record.csv
svg=$out_dir/$stem.svg

trap e2e_cleanup EXIT

pwraux_has() { kqdtb pwraux-read | tr -d '\r' | awk -F'\t' -v c="$1" '$2 == c {f = 1} END {exit !f}'; }

e2e_machine
setup "only the $source source plugged in" kqdtb plug-source "$source"

# One replay into a freshly started service; the exit code of `kqdtrace check`.
replay_once() {
  kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
  check "service installed" kqdtb install-service || return 1
  kqdtb pwraux-clear >/dev/null
  if [ "$source" = wmi ]; then e2e_start_service "service"; else e2e_start_service "service" kqdsensors.dll; fi
  check "the $source source attached" wait_for 10 pwraux_has 10 || return 1
  case "$source" in
    wmi)
      check "the provider's first mode is stored" mode_is 1
      # Its toggle shows the double's lag later; the record starts from the state after it.
      check "the start's slate toggle has shown" slate_settles_to laptop ;;
    driver)
      # Flipped until a mode arrives, so the replay's first flip is seen as one.
      kqd_fold_until driver 1
      check "the driver's watch runs" mode_is 1 1 ;;
  esac

  rm -f "$record"
  check "replayed through $source" kqdtb replay --source "$source" "$trace" "$record"
  kqd_sc stop KQD >/dev/null
  check "service stopped" kqd_wait_service_state KQD STOPPED 30
  [ -s "$record" ] || { check "a record was written" false; return 1; }
  check_eq "the record names the source" "source,0.000,,,$source" "$(sed -n 2p "$record" | tr -d '\r')"
  check "the record has the system's slate state to judge by" grep -q '^slatestart,' "$record"
  [ -x "$kqdtrace" ] || { check "kqdtrace is built ($kqdtrace)" false; return 1; }

  # A busy machine can hold the replay up; that is a reason to replay again, as is
  # timing the analysis calls ambiguous.
  late=$(inputs_late "$trace" "$record") || { echo "  $late"; return 4; }
  "$kqdtrace" check "$trace" "$record"
}

# The replayer keeps time: each input comes at its time in the trace or, when the
# deliveries before it fell behind (a burst faster than the doubles can take it on a
# busy machine), right after the one before. Within 50 ms either way; prints what is
# off. How late the inputs came does not change the expectation: kqdtrace forms
# bursts from the recorded times and refuses gaps it cannot call.
inputs_late() {
  tr -d '\r' <"$2" | awk -F, -v limit=50 '
    FNR == NR { if ($0 ~ /^[[:space:]]*(#|$)/ || !header++) next; want[++rows] = $1; next }
    $1 == "input" {
      i = ++inputs; due = want[i]
      if (i > 1 && previous > due) due = previous
      off = $2 - due; if (off < 0) off = -off
      if (off > worst) worst = off
      previous = $2
    }
    END {
      if (inputs != rows) { printf "%d inputs recorded for %d rows\n", inputs, rows; exit 1 }
      if (worst > limit) { printf "an input %.3f ms off its time\n", worst; exit 1 }
    }' "$1" -
}

replay_once
status=$?
if [ "$status" -eq 3 ] || [ "$status" -eq 4 ]; then
  echo "# the replay's timing was off or ambiguous; once more"
  kqdtb remove-service >/dev/null 2>&1
  replay_once
  status=$?
fi
check_eq "inputs on time (exit 4 when not) and kqdtrace check passes" 0 "$status"
if [ -x "$kqdtrace" ] && [ -s "$record" ]; then
  check "picture written" "$kqdtrace" svg "$trace" "$record" "$svg" --title "$name ($source)"
  echo "# record: $record"
  echo "# picture: $svg"
fi
e2e_done

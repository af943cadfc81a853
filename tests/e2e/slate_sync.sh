#!/usr/bin/env bash
# The system's slate state kept in line with the mode: the installed kqd.exe with
# the WMI source, each mode announced with the machine in laptop or in slate mode.
# The toggle is written only where the two disagree, and the state then follows it,
# the double's lag later. Another process holding the device when detection starts
# costs only the write. Quick folds through both sources that keep the slate in line,
# with toggles that show late, leave the state in agreement with the last mode.
. "$(dirname "$0")/lib.sh"
kqd_wine_start_server || exit 1
traces=$(mktemp -d)
trap 'kqdtb slate-release >/dev/null 2>&1; e2e_cleanup; rm -rf "$traces"' EXIT

contract_lag=$(awk '$2 == "KQDSLATE_DEFAULT_LAG_MS" {print $3 + 0}' "$KQD_TESTBED/doubles/slate/slate_contract.h")
e2e_machine
check_eq "a fresh machine is in slate mode, as Windows' indicator at load" slate "$(slate_state)"
check_eq "with the default lag" "$contract_lag" "$(kqdtb slate-lag | tr -d '\r')"
# Bad input: a usage line, a non-zero exit, nothing changed.
refused() { local out; out=$(kqdtb "$@" 2>&1) && return 1; grep -q '^usage:' <<<"$out"; }
check "slate-state foo is refused" refused slate-state foo
check "slate-lag -5 is refused" refused slate-lag -5
check "slate-lag 10001 is refused" refused slate-lag 10001
check "slate-hold now is refused" refused slate-hold now
check "slate-release with nothing held fails" not kqdtb slate-release
check_eq "the state is unchanged" slate "$(slate_state)"
check_eq "the lag is unchanged" "$contract_lag" "$(kqdtb slate-lag | tr -d '\r')"
check "the WMI source plugged in" kqdtb plug-source wmi
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
check "service installed" kqdtb install-service

echo "# Another process holds the slate-toggle device when detection starts"
setup "the device held" kqdtb slate-hold
check "a second slate-hold fails" not kqdtb slate-hold
e2e_start_service wmi
check "attach code, then the provider's mode 1 published" fields_are "10 9 1"
check "Mode = 1" mode_is 1
kqdtb pwraux-clear >/dev/null
kqd_fold wmi 1
check "a fold while held: posture 9 then raw 1" fields_are "9 1"
check_eq "nothing written while held" 0 "$(slate_writes)"
check_eq "so the system stays in slate mode" slate "$(slate_state)"
check "the holder lets go" kqdtb slate-release
kqdtb pwraux-clear >/dev/null
kqd_fold wmi 1
check "the next fold: posture 9 then raw 1" fields_are "9 1"
check_eq "the next fold writes once" 1 "$(slate_writes)"
check "and the system follows it" slate_settles_to laptop

echo "# Each mode from each state"
# mode, state before, writes, state after
while read -r mode state writes after; do
  label="mode $mode with the system in $state mode"
  kqdtb slate-state "$state" >/dev/null
  kqdtb slate-reset >/dev/null
  kqdtb pwraux-clear >/dev/null
  kqd_fold wmi "$mode"
  posture=$([ "$mode" -le 1 ] && echo 9 || echo 8)
  check "$label: posture $posture then raw $mode" fields_are "$posture $mode"
  check "$label: Mode = $mode" mode_is "$mode"
  check_eq "$label: slate writes" "$writes" "$(slate_writes)"
  check "$label: then the system is in $after mode" slate_settles_to "$after"
done <<'CASES'
1 slate 1 laptop
1 laptop 0 laptop
3 laptop 1 slate
3 slate 0 slate
0 slate 1 laptop
0 laptop 0 laptop
CASES
kqd_sc stop KQD >/dev/null
check "service stopped" kqd_wait_service_state KQD STOPPED 30

echo "# Quick folds while toggles show late"
setup "the quick folds' traces" write_slate_lag_traces "$traces"
# SOURCE LAG TRACE: from mode 1 in agreement, a replay; the state must end in
# agreement with the last mode, with no more writes than changes of side.
fast_folds() {
  local source=$1 lag=$2 trace=$3 label mode record=$traces/record.csv
  label="$source, lag $lag ms, $(basename "$trace" .csv)"
  kqdtb slate-lag 0 >/dev/null
  kqdtb slate-state laptop >/dev/null
  kqdtb slate-lag "$lag" >/dev/null
  # The deferred write waits for the toggle before it, and then shows as late.
  check "$label: replayed" kqdtb replay --source "$source" --settle $((2 * lag + 800)) "$trace" "$record" || return
  mode=$(stored_mode)
  check_eq "$label: the last mode of the trace is stored" "$(tail -1 "$trace" | cut -d, -f4)" "$mode"
  check "$label: the system's slate state agrees with Mode $mode" slate_settles_to "$(slate_state_for "$mode")"
  local writes sides
  writes=$(tr -d '\r' <"$record" | awk -F, '$1 == "slate"' | wc -l)
  sides=$(awk -F, 'NR > 1 {s = ($4 >= 2); if (NR == 2 ? s : s != p) n++; p = s} END {print n + 0}' "$trace")
  check "$label: $writes writes, at most one for each of the $sides changes of side" [ "$writes" -le "$sides" ]
}
for source in wmi sensor; do
  check "the $source source plugged in" kqdtb plug-source "$source"
  kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
  check "service installed" kqdtb install-service
  kqdtb slate-state laptop >/dev/null
  kqdtb wmi-mode 1 >/dev/null
  if [ "$source" = wmi ]; then e2e_start_service "$source"; else e2e_start_service "$source" kqdsensors.dll; fi
  [ "$source" = sensor ] && kqd_fold sensor 1
  check "$source: mode 1 before the folds" mode_is 1
  if [ "$source" = wmi ]; then
    for lag in 20 100 300; do
      for trace in "$traces"/wmi_*.csv; do fast_folds wmi "$lag" "$trace"; done
    done
  else
    fast_folds sensor 300 "$traces/sensor_there_and_back.csv"
    fast_folds sensor 300 "$traces/sensor_steps_to_laptop.csv"
  fi
  kqd_sc stop KQD >/dev/null
  check "$source: service stopped" kqd_wait_service_state KQD STOPPED 30
done
e2e_done

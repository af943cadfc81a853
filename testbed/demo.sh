#!/usr/bin/env bash
# The real kqd.exe through its whole life on the emulated convertible: installed by
# its driver package, walked through every posture with each mode source, the display
# turned off and on, and removed again when the package goes.
#   demo.sh [SOURCE]...    (default: every mode source kqdtb sources lists, in its order)
# Wine's own messages go to $KQD_BUILD/demo/demo.log; the account goes to stdout.
set -u
KQD_TESTBED=$(cd "$(dirname "$0")" && pwd)
KQD_BUILD=${KQD_BUILD:-$KQD_TESTBED/../build/windows}
KQD_BUILD=$(cd "$KQD_BUILD" && pwd)
export KQD_TESTBED KQD_BUILD
. "$KQD_TESTBED/cli/lib.sh"

kqd_wine_start_server >/dev/null 2>&1 && kqd_source_table ||
  { echo "demo: no list of the mode sources from kqdtb sources (run make build)" >&2; exit 2; }
sources=("$@")
[ ${#sources[@]} -eq 0 ] && mapfile -t sources < <(kqd_sources)
for s in "${sources[@]}"; do
  kqd_is_source "$s" ||
    { echo "demo: sources are $(kqd_sources | paste -sd, | sed 's/,/, /g; s/\(.*\), /\1 and /'), not \"$s\"" >&2; exit 2; }
done
KQD_NATIVE_BIN=${KQD_NATIVE_BIN:-$KQD_TESTBED/../build/native/bin}
kqdtrace=$KQD_NATIVE_BIN/kqdtrace
out_dir=$KQD_BUILD/demo
mkdir -p "$out_dir"
log=$out_dir/demo.log
: >"$log"
kqdtb() { "$KQD_TESTBED/kqdtb" "$@" 2>>"$log" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
quiet() { "$@" >>"$log" 2>&1; }
started=$SECONDS

section() { printf '\n\033[1m%s\033[0m\n' "$*"; }
say() { printf '  %s\n' "$*"; }
fail() {
  printf '\ndemo: %s (details: %s)\n' "$*" "$log" >&2
  cleanup
  exit 1
}
cleanup() {
  quiet "$KQD_TESTBED/kqdtb" remove-service
  for double in power sensors wmi davodira slate pwraux taskschd; do quiet "$KQD_TESTBED/kqdtb" "remove-$double"; done
  quiet kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f
  quiet kqd_wine_stop_server
}
set_up() { quiet "${@:2}" || fail "set-up failed: $1"; }
ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
mode_is() { [ "$(stored_mode)" = "$1" ]; }
energy_is() { [ "$(pwraux_fields)" = "$1" ]; }
energy_begins_with_attach() { [[ "$(pwraux_fields) " == "10 "* ]]; }
mode_name() {
  case "$1" in 0) echo unknown ;; 1) echo laptop ;; 2) echo tablet ;; 3) echo "fold 3" ;; 4) echo "fold 4" ;; *) echo "$1" ;; esac
}

section "KQD on the emulated convertible ($(date -u '+%Y-%m-%d %H:%M UTC'))"
[ -x "$kqdtrace" ] || fail "the native trace tool is missing at $kqdtrace (run make build)"
quiet kqd_wine_start_server || fail "no Wine prefix"
cleanup
quiet kqd_wine_start_server || fail "no Wine prefix"
# 1809: older than 1903, so the running service registers its uninstall task.
kqd_machine_up set_up 1809 taskschd
say "Wine $(kqd_wine --version 2>/dev/null | tr -d '\r'), prefix $KQD_WINEPREFIX"
say "machine: Windows 10 1809; Winmgmt and Task Scheduler running; the system in $(kqdtb slate-state) mode"
say "doubles plugged in: energy-management driver (\\\\.\\PwrAuxDrv), slate toggle, power-management driver"
say "(\\\\.\\DAVODIRA), G-sensor (Sensor API), firmware WMI provider, Task Scheduler, power notifications"

section "1. The driver package is installed"
oem=$(kqdtb install-package) || fail "install-package"
key='HKLM\System\CurrentControlSet\Services\KQD'
config=$(kqd_wine reg query "$key" 2>>"$log" | tr -d '\r')
value_of() { awk -v n="$1" '$1 == n {$1 = ""; $2 = ""; sub(/^ +/, ""); print}' <<<"$config"; }
say "service KQD: ImagePath $(value_of ImagePath), Type $(value_of Type) (own process),"
say "             Start $(value_of Start) (automatic), ObjectName $(value_of ObjectName)"
say "INF: C:\\windows\\inf\\$oem; Owners = $(value_of Owners); DisplayName = $(value_of DisplayName)"
say "kqd.exe: $KQD_SERVICE_EXE (SHA-256 $(sha256sum <"$KQD_SERVICE_EXE" | cut -c1-16)...)"

# The outside evidence of which source the service took.
selection() {
  local wmi sinks queries
  wmi=$(kqdtb wmi-read | awk '$1 == "subscribed" {print $2}')
  sinks=$(kqdtb sensor-read | awk '$1 == "sensor-sinks" {print $2}')
  queries=$(kqdtb davodira-read | awk '$1 == "count" {print $2}')
  say "the WMI provider has an event subscription: ${wmi:-no}; G-sensor sinks: ${sinks:-0}; driver queries: ${queries:-0}"
}
declare -A source_title=([wmi]="firmware WMI provider" [sensor]="G-sensor through the Sensor API" [driver]="power-management driver")
walk=$KQD_TESTBED/trace/traces/demo_walk.csv
differing=()
n=1
for source in "${sources[@]}"; do
  n=$((n + 1))
  section "$n. Mode source: ${source_title[$source]}"
  kqdtb plug-source "$source" >/dev/null || fail "plugging in the $source source"
  quiet kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f
  kqdtb pwraux-clear >/dev/null
  kqdtb davodira-clear >/dev/null
  t=$(date +%s%N)
  kqd_sc start KQD >>"$log" 2>&1
  kqd_wait_service_state KQD RUNNING 30 >>"$log" 2>&1 || fail "KQD did not start"
  say "KQD running after $(ms_since "$t") ms"
  if [ "$source" = wmi ]; then attach="10 9 1"; else attach=10; fi
  wait_for 10 energy_is "$attach" || fail "no attach code (energy driver received: $(pwraux_fields))"
  say "energy-management driver received: $(pwraux_fields) (attach$([ "$source" = wmi ] && echo ", then the provider's mode"))"
  # The provider's laptop toggles the system out of slate mode; the walk starts once that shows.
  if [ "$source" = wmi ]; then wait_for 5 kqd_slate_state_is laptop || fail "the start's slate toggle did not show"; fi
  selection

  # The walk: a trace replayed in real time; WMI and driver get the mode a provider
  # would report for each row.
  trace=$out_dir/walk-$source.csv
  if [ "$source" = sensor ]; then cp "$walk" "$trace"; else "$kqdtrace" derive "$walk" >"$trace" 2>>"$log" || fail "derive"; fi
  record=$out_dir/walk-$source.record.csv
  say ""
  say "walk: laptop -> fold 3 -> fold 4 -> tablet -> laptop ($(basename "$walk"), replayed in real time)"
  [ "$source" = driver ] && kqd_fold_until driver 1 2>>"$log"  # the watch is armed
  kqdtb replay --source "$source" "$trace" "$record" >>"$log" || fail "replay"
  "$kqdtrace" report "$trace" "$record" 2>>"$log" | sed 's/^/  /' || fail "report"
  "$kqdtrace" check "$trace" "$record" >>"$log" 2>&1 || differing+=("$source")
  say "(to Mode / to energy: from the step's input to the \"Mode\" write / the first energy request;"
  say " \"—\": nothing seen, as when \"Mode\" is rewritten with the value it holds, which raises no"
  say " registry notification under Wine, or with the driver source, which sends nothing)"
  "$kqdtrace" svg "$trace" "$record" "$out_dir/walk-$source.svg" --title "demo walk, $source" 2>>"$log"

  say ""
  say "display off and on (the power-notification double calls the service's control handler"
  say "with SERVICE_CONTROL_POWEREVENT, as Windows would; Wine itself never sends it):"
  kqdtb pwraux-clear >/dev/null
  kqdtb display-off >>"$log" || fail "display-off"
  wait_for 10 energy_is 11 || fail "no detach code on display off (received: $(pwraux_fields))"
  say "  display off -> energy driver received: $(pwraux_fields) (detach)"
  before=$(stored_mode)
  kqd_fold "$source" 2 2>>"$log"
  sleep 1
  say "  folded to tablet while off -> Mode stays $(stored_mode) ($(mode_name "$(stored_mode)")); requests since off: $(pwraux_fields)"
  [ "$(stored_mode)" = "$before" ] || fail "the mode changed while the display was off"
  kqdtb pwraux-clear >/dev/null
  kqdtb display-on >>"$log" || fail "display-on"
  wait_for 10 energy_begins_with_attach || fail "no attach code on display on (received: $(pwraux_fields))"
  say "  display on  -> energy driver received: $(pwraux_fields) (attach$([ "$source" = wmi ] && echo ", then the provider's current mode"))"
  kqd_fold_until "$source" 3 2>>"$log" || fail "detection did not resume"
  [ "$source" = driver ] || wait_for 5 kqd_slate_state_is slate || fail "the fold's slate toggle did not show"
  say "  folded to 3 -> Mode $(stored_mode) ($(mode_name "$(stored_mode)")): detection resumed; the system in $(kqdtb slate-state) mode"

  kqdtb pwraux-clear >/dev/null
  kqd_sc stop KQD >>"$log" 2>&1
  kqd_wait_service_state KQD STOPPED 30 >>"$log" 2>&1 || fail "KQD did not stop"
  wait_for 5 energy_is 11
  say ""
  say "stopped; energy driver received: $(pwraux_fields) (detach)"
done

n=$((n + 1))
section "$n. The driver package is removed"
kqdtb plug-source sensor >/dev/null || fail "plugging in the sensor"
kqd_sc start KQD >>"$log" 2>&1
kqd_wait_service_state KQD RUNNING 30 >>"$log" 2>&1 || fail "KQD did not start"
task_registered() { kqdtb tasks-list | grep -qx '\\Tavmir\\Tavmir KQD Uninstall Task'; }
wait_for 30 task_registered || fail "the running service registered no uninstall task"
say "KQD running; its uninstall task: $(kqdtb tasks-list | grep -x '\\Tavmir\\.*' | head -1)"
say "$(kqdtb remove-package) (the package is gone; kqd.exe and the service are still there)"
say "the uninstall task's action runs (kqd.exe -PnPTask), as Task Scheduler would:"
task_out=$out_dir/uninstall-task.txt
"$KQD_TESTBED/kqdtb" run-uninstall-task </dev/null >"$task_out" 2>>"$log"
tr -d '\r' <"$task_out" | sed 's/^/    | /'
service_absent() { [ "$(kqd_service_state KQD)" = ABSENT ]; }
system_file() { [ -n "$(find "$KQD_SYSTEM32" -maxdepth 1 -type f -iname "$1")" ]; }
no_system_file() { ! system_file "$1"; }
gone() { if "$@"; then echo gone; else echo "still there"; fi; }
not() { ! "$@"; }
mode_key_present() { kqd_wine reg query 'HKLM\SOFTWARE\Tavmir\TarsiMode' >/dev/null 2>&1; }
wait_for 30 service_absent
wait_for 60 no_system_file kqd.exe
say "service KQD: $(gone service_absent); HKLM\\SOFTWARE\\Tavmir\\TarsiMode: $(gone not mode_key_present)"
say "uninstall task: $(gone not task_registered); C:\\windows\\system32\\kqd.exe: $(gone no_system_file kqd.exe)"
say "C:\\windows\\system32\\kqddrv.INF: $(gone no_system_file kqddrv.inf)$(system_file kqddrv.inf &&
  echo ' (known Wine gap: the file is LocalSystem-only and no Wine process runs as LocalSystem)')"

cleanup
if [ ${#differing[@]} -gt 0 ]; then
  section "Done in $((SECONDS - started)) s, but the walk differed from the posture rule with: ${differing[*]} (see $out_dir)"
  exit 1
fi
section "Done in $((SECONDS - started)) s; every walk as the posture rule predicts. Pictures and records: $out_dir"

#!/usr/bin/env bash
# The installed kqd.exe with registry values of the wrong type or size where it reads
# them: "Type2" rewritten under the driver source while it watches, "ReleaseId" at
# start, and a stored "Mode" at start under the WMI source. Each round ends with the
# service answering, the mode following the next real change, "Mode" stored as a
# DWORD, and a clean stop.
. "$(dirname "$0")/lib.sh"
kqd_wine_start_server || exit 1
release_key='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
notification_key='HKLM\SYSTEM\CurrentControlSet\Services\VOREDUZE\Parameters\Notification'
mode_key='HKLM\SOFTWARE\Tavmir\TarsiMode'
cleanup() {
  e2e_cleanup
  kqdtb machine 2009 >/dev/null 2>&1
  kqdtb type2-set 0 >/dev/null 2>&1
}
trap cleanup EXIT

set_value() { kqd_wine reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null; } # KEY NAME TYPE DATA
set_empty() { kqd_wine reg add "$1" /v "$2" /t "$3" /f >/dev/null; }        # KEY NAME TYPE
mode_type() { kqd_wine reg query "$mode_key" /v Mode 2>/dev/null | tr -d '\r' | awk '$1 == "Mode" {print $2}'; }
responsive() { [ "$(kqd_service_state KQD)" = RUNNING ] && [ "$(live_processes kqd.exe)" = 1 ]; }

start_service() { # LABEL [ATTACH-FIELDS] (without them: the attach code comes first)
  kqdtb pwraux-clear >/dev/null
  e2e_start_service "$1"
  if [ $# -gt 1 ]; then check "$1: attach code sent" fields_are "$2"; else
    check "$1: attach code sent first" wait_for 5 attach_first; fi
}
stop_service() { # LABEL
  kqdtb pwraux-clear >/dev/null
  kqd_sc stop KQD >/dev/null
  check "$1: service stopped" kqd_wait_service_state KQD STOPPED 30
  check "$1: detach code sent" fields_are 11
  check "$1: the process is gone" wait_for 10 eval '[ "$(live_processes kqd.exe)" = 0 ]'
}
attach_first() { local f; f=$(pwraux_fields); [ "${f%% *}" = 10 ]; }

e2e_machine
check "service installed" kqdtb install-service

echo "# Type2 rewritten with other types and sizes while the driver source watches"
check "driver: the only source plugged in" kqdtb plug-source driver
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
check "Type2 = 0" kqdtb type2-set 0
start_service driver 10
check "driver: Mode = 1" mode_is 1
mode=1
# Longer than four bytes (the read fails), shorter, empty, and a text of the right
# length: none may stop the watch; the next sound flip is followed.
bad_values=(
  "REG_QWORD 0x20000000"
  "REG_SZ twenty-nine"
  "REG_BINARY ff"
  "REG_BINARY -"
  "REG_SZ 2"
  "REG_MULTI_SZ a\\0b"
  "REG_EXPAND_SZ %windir%"
)
for entry in "${bad_values[@]}"; do
  read -r type data <<<"$entry"
  if [ "$data" = - ]; then set_empty "$notification_key" Type2 "$type"; else
    set_value "$notification_key" Type2 "$type" "$data"; fi
  sleep 0.2
  check "driver: responsive after Type2 $type $data" responsive
  mode=$((mode % 4 + 1))
  check "driver: Mode = $mode after Type2 $type $data" driver_fold "$mode"
done
check_eq "driver: Mode stored as a DWORD" REG_DWORD "$(mode_type)"
stop_service driver

# A "Type2" that cannot be read when the watch begins ends only the watch: the source
# keeps the driver's first answer and the service stays responsive.
kqdtb driver-mode 3 >/dev/null
set_value "$notification_key" Type2 REG_QWORD 0x20000000
start_service "driver, Type2 unreadable at start" 10
check "driver, Type2 unreadable at start: Mode = 3" mode_is 3
check "driver, Type2 unreadable at start: responsive" responsive
stop_service "driver, Type2 unreadable at start"
kqdtb type2-set 0 >/dev/null

echo "# ReleaseId of another type or size at start"
for entry in "REG_DWORD 1809" "REG_BINARY 313930" "REG_SZ $(printf '1%.0s' {1..300})" "REG_MULTI_SZ 1809\\02009"; do
  read -r type data <<<"$entry"
  label="ReleaseId $type (${#data} chars)"
  set_value "$release_key" ReleaseId "$type" "$data"
  kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
  kqdtb driver-mode 1 >/dev/null
  start_service "$label" 10
  check "$label: Mode = 1" mode_is 1
  check "$label: Mode = 4 after a flip" driver_fold 4
  stop_service "$label"
done
check "ReleaseId restored" kqdtb machine 2009

echo "# A stored Mode of another type or size at start, WMI source"
check "wmi: the only source plugged in" kqdtb plug-source wmi
# Eight bytes cannot be read as a mode: it counts as unknown and the provider's mode
# is published at once. Shorter values fill the low bytes and are taken as they read.
set_value "$mode_key" Mode REG_QWORD 2
start_service "wmi, Mode REG_QWORD" "10 9 1"
check "wmi, Mode REG_QWORD: Mode = 1" mode_is 1
check_eq "wmi, Mode REG_QWORD: Mode stored as a DWORD" REG_DWORD "$(mode_type)"
stop_service "wmi, Mode REG_QWORD"
for entry in "REG_SZ 2" "REG_BINARY 03" "REG_BINARY -"; do
  read -r type data <<<"$entry"
  kqd_wine reg delete "$mode_key" /v Mode /f >/dev/null 2>&1
  if [ "$data" = - ]; then set_empty "$mode_key" Mode "$type"; else set_value "$mode_key" Mode "$type" "$data"; fi
  start_service "wmi, Mode $type $data"
  kqd_fold wmi 4
  check "wmi, Mode $type $data: Mode = 4 after an event" mode_is 4
  check_eq "wmi, Mode $type $data: Mode stored as a DWORD" REG_DWORD "$(mode_type)"
  stop_service "wmi, Mode $type $data"
done
e2e_done

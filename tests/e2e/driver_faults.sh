#!/usr/bin/env bash
# The installed kqd.exe with its drivers misbehaving: the energy-management driver
# failing every request or vanishing while the sensor source runs, the
# power-management driver failing every query or vanishing under the driver source,
# and the "Type2" key deleted under its watch. Modes go on being stored, the drivers
# are used again once they are back, and the service ends as every stress scenario
# must.
. "$(dirname "$0")/stress_lib.sh"
kqd_wine_start_server || exit 1
cleanup() {
  kqdtb pwraux-fail off >/dev/null 2>&1
  kqdtb davodira-fail off >/dev/null 2>&1
  for driver in KqdPwrAux KqdDavodira; do
    [ "$(kqd_service_state $driver)" = STOPPED ] && kqd_sc start $driver >/dev/null 2>&1
  done
  kqdtb type2-set 0 >/dev/null 2>&1
  e2e_cleanup
}
trap cleanup EXIT

driver_state() { kqd_service_state "$1"; }
stop_driver() { kqd_sc stop "$1" >/dev/null && kqd_wait_service_state "$1" STOPPED 20; }
start_driver() { # SERVICE PRESENCE-COMMAND
  kqd_sc start "$1" >/dev/null && kqd_wait_service_state "$1" RUNNING 20 && wait_for 10 kqdtb "$2"
}

e2e_machine
check "service installed" kqdtb install-service

echo "# Sensor source; the energy-management driver fails every request"
check "sensor: the only source plugged in" kqdtb plug-source sensor
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
stress_start sensor
check "sensor: attach code sent" fields_are 10
sensor_fold 1
check "sensor: Mode = 1" mode_is 1
kqdtb pwraux-fail all >/dev/null
for mode in 3 4 2; do sensor_fold "$mode"; check "failing energy driver: Mode = $mode" mode_is "$mode"; done
check "failing energy driver: idle" idle
kqdtb pwraux-fail off >/dev/null
stress_settled "energy driver sound again" 2 1 sensor_fold

echo "# The energy-management driver vanishes and comes back"
check "energy driver stopped" stop_driver KqdPwrAux
for mode in 3 1; do sensor_fold "$mode"; check "no energy driver: Mode = $mode" mode_is "$mode"; done
check "no energy driver: idle" idle
check "energy driver back" start_driver KqdPwrAux pwraux-present
stress_settled "energy driver back" 1 4 sensor_fold
stress_stop "energy driver back"

echo "# Driver source; the power-management driver fails every query"
check "driver: the only source plugged in" kqdtb plug-source driver
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
check "Type2 = 0" kqdtb type2-set 0
kqdtb driver-mode 3 >/dev/null
stress_start driver
check "driver: attach code only" fields_are 10
check "driver: Mode = 3" mode_is 3
kqdtb davodira-fail on >/dev/null
kqdtb driver-mode 1 >/dev/null
sleep 1
check_eq "failing driver: Mode stays 3" 3 "$(stored_mode)"
check "failing driver: idle" idle
kqdtb davodira-fail off >/dev/null
stress_settled "driver sound again" 3 2 driver_fold mode-only

echo "# The power-management driver vanishes and comes back"
check "driver stopped" stop_driver KqdDavodira
kqdtb type2-flip >/dev/null
sleep 1
check_eq "no driver: Mode stays 3" 3 "$(stored_mode)"
check "no driver: idle" idle
check "driver back" start_driver KqdDavodira davodira-present
# The source's handle is to the device that went away; a display cycle or restart
# opens the new one. A flip now must at least not disturb the service.
kqdtb driver-mode 4 >/dev/null
sleep 1
check "driver back: responsive" test "$(kqd_service_state KQD)" = RUNNING
stress_stop "driver back"
stress_start "driver restarted"
check "driver restarted: Mode = 4" mode_is 4
stress_settled "driver restarted" 4 1 driver_fold mode-only

echo "# The Type2 key deleted under the watch"
check "Type2 key deleted" kqdtb type2-delete
sleep 1
check "Type2 deleted: idle" idle
check "Type2 deleted: responsive" test "$(kqd_service_state KQD)" = RUNNING
check "Type2 written again" kqdtb type2-set 0
stress_stop "Type2 deleted"
stress_start "Type2 back"
stress_settled "Type2 back" 4 3 driver_fold mode-only
stress_stop "Type2 back"
e2e_done

#!/usr/bin/env bash
# The installed kqd.exe with the powrprof double as the power manager: the console
# display goes off, on and dimmed while the emulated convertible folds. Display
# off ends detection (detach code to the energy-management driver) and folds go
# unseen; display on starts it again; dimmed changes nothing. A stop leaves the
# power-setting registrations to the end of the process; a shutdown removes them.
. "$(dirname "$0")/lib.sh"
kqd_wine_start_server || exit 1
trap e2e_cleanup EXIT

power_line() { kqdtb power-read | tr -d '\r' | awk -F'\t' -v k="$1" '$1 == k {print $2}'; }
# "SETTING FLAGS RECIPIENT STATE" of each registration the process made, sorted.
registrations_of() {
  kqdtb power-read | tr -d '\r' |
    awk -F'\t' -v p="$1." '$1 == "registration" && index($2, p) == 1 {print $3, $4, $5, $7}' | sort
}
registration_count_is() { [ "$(registrations_of "$1" | grep -c .)" = "$2" ]; }
expected_registrations() { # STATUS-HANDLE STATE
  local guid
  for guid in 2B84C20E-AD23-4DDF-93DB-05FFBD7EFCA5 5D3E9A59-E9D5-4B00-A6BD-FF34FF516548 \
    6FE69556-704A-47A0-8F24-C28D936FDA47 BA3E0F4D-B817-4094-A2D1-D56379E6A0F3; do
    echo "{$guid} 1 $1 $2"
  done
}
# Only the attach (10) and detach (11) codes among the requests since the last clear.
attach_detach() { local f out=(); for f in $(pwraux_fields); do [[ $f == 1[01] ]] && out+=("$f"); done; echo "${out[*]}"; }
first_field_is() { local f; f=$(pwraux_fields); [ "${f%% *}" = "$1" ]; }

e2e_machine
kqdtb wmi-provider off >/dev/null
kqdtb davodira-answer 0x00020000 >/dev/null  # unknown: the driver is not selected
kqdtb sensor-plug >/dev/null

echo "# source: sensor"
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
check "service installed" kqdtb install-service
kqdtb pwraux-clear >/dev/null
kqdtb power-clear >/dev/null
e2e_start_service "sensor" kqdsensors.dll
check "attach code sent" fields_are 10

service=$(power_line process)
handle=$(power_line status-handle)
check "the service process answers power requests" test -n "$service"
check "the service has a status handle" test -n "$handle" -a "$handle" != 0x0
check "four power settings registered" wait_for 5 registration_count_is "$service" 4
check_eq "each for the service's status handle, live" "$(expected_registrations "$handle" live)" \
  "$(registrations_of "$service")"

sensor_fold 3
check "Mode = 3" mode_is 3
kqdtb pwraux-clear >/dev/null
check "display off delivered" kqdtb display-off
check "display off: detach code sent" fields_are 11

kqdtb pwraux-clear >/dev/null
# Detached from its sensor, the service has no sink left for the double to deliver to.
check "display off: the fold to tablet finds no sink" not kqd_fold sensor 2 2>/dev/null
# Four times the sensor source's debounce: long past when it would have published.
sensor_ms=$(kqd_source_delay_ms sensor) || { echo "FAIL - set-up: no sensor row in kqdtb sources"; exit 1; }
sleep "$(awk -v ms="$sensor_ms" 'BEGIN {print 4 * ms / 1000}')"
check_eq "display off: a fold to tablet leaves Mode at 3" 3 "$(stored_mode)"
check_eq "display off: the fold sends nothing" "" "$(pwraux_fields)"

kqdtb pwraux-clear >/dev/null
check "display on delivered" kqdtb display-on
check "display on: attach code sent first" wait_for 5 first_field_is 10
sleep 0.5
kqdtb pwraux-clear >/dev/null
sensor_fold 4
check "display on: Mode follows a fold to 4" mode_is 4
check "display on: the fold sends posture 8 then raw 4" fields_are "8 4"

kqdtb pwraux-clear >/dev/null
check "display dimmed delivered" kqdtb display-dim
sleep 0.6
check_eq "dimmed: nothing sent" "" "$(pwraux_fields)"
sensor_fold 3
check "dimmed: detection still runs, Mode follows a fold to 3" mode_is 3

kqdtb pwraux-clear >/dev/null
for cycle in 1 2 3 4 5; do
  kqdtb display-off >/dev/null || echo "  display-off $cycle not delivered"
  kqdtb display-on >/dev/null || echo "  display-on $cycle not delivered"
done
attach_detach_are() { [ "$(attach_detach)" = "$1" ]; }
check "five off/on cycles: detach and attach alternate, five each" \
  wait_for 10 attach_detach_are "11 10 11 10 11 10 11 10 11 10"
sleep 0.5
sensor_fold 1
check "after the cycles detection runs: Mode = 1" mode_is 1
check_eq "after the cycles one kqd.exe runs" 1 "$(live_processes kqd.exe)"
check_eq "every request was delivered (1 off, 1 on, 1 dimmed, 5 cycles)" "13 13" \
  "$(power_line handled) $(power_line delivered)"

kqdtb pwraux-clear >/dev/null
kqd_sc stop KQD >/dev/null
check "service stopped" kqd_wait_service_state KQD STOPPED 30
check "stop: detach code sent" fields_are 11
check "the process is gone" wait_for 10 test "$(live_processes kqd.exe)" = 0
# Only SERVICE_CONTROL_SHUTDOWN unregisters the settings; a stop leaves them to the
# end of the process.
check_eq "stop: the registrations were not unregistered, the process ended" \
  "$(expected_registrations "$handle" orphaned)" "$(registrations_of "$service")"
check "display-off with no service is kept by the machine" kqdtb display-off
check_eq "display-state off" off "$(kqdtb display-state | tr -d '\r')"
check "display-on again" kqdtb display-on

echo "# source: wmi"
kqdtb sensor-unplug >/dev/null
kqdtb wmi-provider on >/dev/null && kqdtb wmi-instances 1 >/dev/null && kqdtb wmi-mode 1 >/dev/null
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
kqdtb pwraux-clear >/dev/null
e2e_start_service "wmi"
check "wmi: attach code, then the first mode published" fields_are "10 9 1"
kqdtb pwraux-clear >/dev/null
check "wmi: display off delivered" kqdtb display-off
check "wmi: detach code sent" fields_are 11
kqdtb pwraux-clear >/dev/null
kqdtb wmi-mode 3 >/dev/null
# The source unsubscribed with detection: an event finds nobody (after kqdtb's 10 s wait).
check "wmi: display off: no subscriber for the provider's events" bash -c '! "$1" wmi-fire 2>/dev/null' _ \
  "$KQD_TESTBED/kqdtb"
check_eq "wmi: display off: the provider's mode 3 leaves Mode at 1" 1 "$(stored_mode)"
check_eq "wmi: display off: nothing sent" "" "$(pwraux_fields)"
check "wmi: display on delivered" kqdtb display-on
check "wmi: attach code sent first" wait_for 5 first_field_is 10
kqd_fold wmi 4
check "wmi: display on: Mode follows to 4" mode_is 4

# What Windows sends at system shutdown, which Wine's service manager never does:
# the service unregisters the four settings, then stops.
wmi_service=$(power_line process)
wmi_handle=$(power_line status-handle)
kqdtb pwraux-clear >/dev/null
check "shutdown delivered" kqdtb service-shutdown
check "shutdown: service stopped" kqd_wait_service_state KQD STOPPED 30
check "shutdown: detach code sent" fields_are 11
check "shutdown: the process is gone" wait_for 10 test "$(live_processes kqd.exe)" = 0
check_eq "shutdown: the four settings were unregistered" "$(expected_registrations "$wmi_handle" unregistered)" \
  "$(registrations_of "$wmi_service")"
e2e_done

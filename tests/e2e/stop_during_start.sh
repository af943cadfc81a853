#!/usr/bin/env bash
# "sc stop" right behind "sc start", while the start is still under way: after a few
# delays, while OnStart still waits for "Winmgmt", and while the WMI source's first
# query is held in the WMI double. Every round ends STOPPED with the process gone,
# and the energy-management driver sees an attach (10) only with its detach (11).
. "$(dirname "$0")/lib.sh"
kqd_wine_start_server || exit 1

cleanup() {
  kqdtb wmi-hold off >/dev/null 2>&1
  kqd_sc start Winmgmt >/dev/null 2>&1
  e2e_cleanup
}
trap cleanup EXIT

attach_detach() { local f out=(); for f in $(pwraux_fields); do [[ $f == 1[01] ]] && out+=("$f"); done; echo "${out[*]}"; }
balanced() { local a; a=$(attach_detach); [ -z "$a" ] || [ "$a" = "10 11" ]; }
# The stop is refused while the service has not yet said it accepts it; keep asking.
stop_accepted() { kqd_sc stop KQD >/dev/null 2>&1 || [ "$(kqd_service_state KQD)" = STOPPED ]; }
held_calls_reach() { [ "$(kqdtb wmi-held | tr -d '\r')" -ge "$1" ] 2>/dev/null; }
state_is() { [ "$(kqd_service_state KQD)" = "$1" ]; }

e2e_machine
setup "only the WMI source plugged in" kqdtb plug-source wmi
setup "service installed" kqdtb install-service

# Ends a round: STOPPED, no kqd.exe left, requests balanced. NAME EXPECTED-ATTACH-DETACH
finish_round() {
  check "$1: STOPPED" kqd_wait_service_state KQD STOPPED 30
  check "$1: the process is gone" wait_for 10 test "$(live_processes kqd.exe)" = 0
  if [ -n "${2+set}" ]; then
    check_eq "$1: attach and detach" "$2" "$(attach_detach)"
  else
    check "$1: every attach has its detach (got: $(attach_detach))" balanced
  fi
}

for delay in 0 0.02 0.1 0.3; do
  kqdtb pwraux-clear >/dev/null
  kqd_sc start KQD >/dev/null
  sleep "$delay"
  check "stop ${delay}s after start accepted" wait_for 10 stop_accepted
  finish_round "stop ${delay}s after start"
done

# OnStart waits for "Winmgmt" in 100 ms polls; the stop ends the wait and no
# detection starts at all.
kqd_sc stop Winmgmt >/dev/null 2>&1
check "Winmgmt stopped" kqd_wait_service_state Winmgmt STOPPED 20
kqdtb pwraux-clear >/dev/null
kqd_sc start KQD >/dev/null
check "waiting for Winmgmt: the service runs" kqd_wait_service_state KQD RUNNING 30
sleep 0.3
check "waiting for Winmgmt: stop accepted" wait_for 10 stop_accepted
finish_round "stop while OnStart waits for Winmgmt" ""
kqd_sc start Winmgmt >/dev/null 2>&1
check "Winmgmt running again" kqd_wait_service_state Winmgmt RUNNING 20

# The source chain's first WMI query is held: the stop has to wait for it, then the
# started source is stopped again.
kqdtb pwraux-clear >/dev/null
check "WMI queries held" kqdtb wmi-hold on
kqd_sc start KQD >/dev/null
check "held: the service's first query waits" wait_for 20 held_calls_reach 1
# The control handler returns only once the service stopped, so sc waits for it
# (Wine's gives up after 10 s): it runs beside the checks.
kqd_sc stop KQD >/dev/null 2>&1 &
stopper=$!
check "held: the stop is pending" wait_for 10 state_is STOP_PENDING
sleep 0.5
check "held: the stop waits for the query" state_is STOP_PENDING
check_eq "held: nothing sent yet" "" "$(attach_detach)"
kqdtb wmi-hold off >/dev/null
finish_round "stop while the query is held" "10 11"
wait "$stopper"

kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
kqdtb pwraux-clear >/dev/null
e2e_start_service "a normal start afterwards"
check "a normal start afterwards: attach code, then the first mode" fields_are "10 9 1"
check "a normal start afterwards: Mode = 1" mode_is 1
kqdtb pwraux-clear >/dev/null
kqd_sc stop KQD >/dev/null
finish_round "the normal start" "11"
e2e_done

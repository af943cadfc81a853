#!/usr/bin/env bash
# The installed kqd.exe while another process holds the named event
# "EventModeChange" open: created by that process before the service starts, kept
# across display off/on (when the service has no watcher), under the WMI source and
# the driver source. Then a process that waits on the event and so takes some of
# its signals: a stop still ends the service, and once it has gone the next change
# is published again.
. "$(dirname "$0")/stress_lib.sh"
kqd_wine_start_server || exit 1
holders=()
cleanup() {
  kill_tree "${holders[@]}"
  wait 2>/dev/null
  e2e_cleanup
}
trap cleanup EXIT

# Holders are ended with their process; the event goes with its last handle.
release_holders() {
  kill_tree "${holders[@]}"
  wait 2>/dev/null
  holders=()
  wait_for 10 bash -c '! "$1" mode-event-hold --limit-ms 0 >/dev/null 2>&1' _ "$KQD_TESTBED/kqdtb"
}
hold_event() { # kqdtb mode-event-hold args...; returns once the event is held
  local out
  out=$(mktemp)
  kqdtb mode-event-hold "$@" >"$out" 2>&1 &
  holders+=($!)
  wait_for 20 grep -q holding "$out"
  local rc=$?
  rm -f "$out"
  return $rc
}

e2e_machine
check "service installed" kqdtb install-service

echo "# WMI source, the event created and held by another process first"
check "wmi: the only source plugged in" kqdtb plug-source wmi
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
check "the event is created and held outside the service" hold_event --create --limit-ms 300000
stress_start wmi
check "wmi: attach, then the first mode once" fields_are "10 9 1"
kqdtb pwraux-clear >/dev/null
wmi_fold 3
check "wmi: a fold to 3 is announced once" fields_are "8 3"
kqdtb pwraux-clear >/dev/null
for cycle in 1 2 3 4 5; do
  kqdtb display-off >/dev/null || echo "  display-off $cycle not delivered"
  kqdtb display-on >/dev/null || echo "  display-on $cycle not delivered"
done
# Each start publishes the provider's mode once after its attach code.
check "wmi: five off/on cycles, each announced once" \
  fields_are "11 10 8 3 11 10 8 3 11 10 8 3 11 10 8 3 11 10 8 3"
stress_settled "wmi, held" 3 4 wmi_fold
stress_stop "wmi, held"

echo "# The event created manual-reset by the other process: each wake forwards once"
check "the first holder has gone, and the event with it" release_holders
check "the event is created manual-reset outside the service" hold_event --create --manual --limit-ms 300000
stress_start "wmi, manual-reset"
check "wmi, manual-reset: attach, then the provider's mode once" fields_are "10 8 3"
for mode in 4 3; do
  kqdtb pwraux-clear >/dev/null
  wmi_fold "$mode"
  check "wmi, manual-reset: a fold to $mode is announced once" fields_are "$(posture_code "$mode") $mode"
  check "wmi, manual-reset: Mode = $mode" mode_is "$mode"
  check "wmi, manual-reset: kqd.exe idle after the fold" idle
done
stress_stop "wmi, manual-reset"
check "the manual-reset holder has gone, and the event with it" release_holders
check "the auto-reset event is held again" hold_event --create --limit-ms 300000

echo "# The event held across a restart of the service"
stress_start "wmi, restarted"
check "wmi, restarted: attach, then the provider's mode once" fields_are "10 8 3"
stress_settled "wmi, restarted" 3 1 wmi_fold
stress_stop "wmi, restarted"

echo "# Driver source, the event held: the first answer is stored"
check "driver: the only source plugged in" kqdtb plug-source driver
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
kqdtb driver-mode 3 >/dev/null
stress_start driver
# Its announcements only store "Mode".
check "driver: the attach code only" fields_are 10
check "driver: Mode = 3" mode_is 3
stress_settled "driver, held" 3 2 driver_fold mode-only
stress_stop "driver, held"

echo "# A process that waits on the event and takes some of its signals"
check "wmi: the only source plugged in again" kqdtb plug-source wmi
stress_start "wmi, waiter"
check "wmi, waiter: Mode = 1" mode_is 1
kqdtb mode-event-wait --limit-ms 15000 >/dev/null 2>&1 &
waiter=$!
holders+=("$waiter")
sleep 2
for mode in 2 3 4 2 3 4; do wmi_fold "$mode"; done
sleep 1
# A signal the waiter took is an announcement the service never sees; the stop's own
# signal may go to the waiter too, and the stop must still end the watcher.
check "the other process still waits" kill -0 "$waiter"
stress_stop "wmi, stopped while the other process waits"
check "the waiting process ends at its limit" wait "$waiter"
stress_start "wmi, waiter gone"
stress_settled "wmi, waiter gone" 4 1 wmi_fold
stress_stop "wmi, waiter gone"
e2e_done

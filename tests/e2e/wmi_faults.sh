#!/usr/bin/env bash
# The installed kqd.exe with the WMI double misbehaving: every ExecMethod failing
# at start and while running, a query still under way when detection stops (the
# subscription is cancelled around it), and events delivered into a subscription
# after CancelAsyncCall. The service never publishes a mode it was not given and
# ends as every stress scenario must.
. "$(dirname "$0")/stress_lib.sh"
kqd_wine_start_server || exit 1
cleanup() {
  kqdtb wmi-fail-exec off >/dev/null 2>&1
  kqdtb wmi-hold off >/dev/null 2>&1
  kqdtb wmi-late-event off >/dev/null 2>&1
  e2e_cleanup
}
trap cleanup EXIT

record_count() { kqdtb wmi-read | tr -d '\r' | awk -v k="$1" '$1 == k' | wc -l; }
record_count_is() { [ "$(record_count "$1")" = "$2" ]; }
display_cycle() { kqdtb display-off >/dev/null && kqdtb display-on >/dev/null; }
WBEM_E_FAILED=0x80041001

e2e_machine
check "service installed" kqdtb install-service
check "wmi: the only source plugged in" kqdtb plug-source wmi
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1

echo "# Every ExecMethod fails from the start: no source, until a display cycle finds it sound"
kqdtb wmi-fail-exec $WBEM_E_FAILED >/dev/null
kqdtb wmi-clear >/dev/null
stress_start "failing at start"
check "failing at start: the provider was asked" wait_for 10 eval '[ "$(record_count query)" -ge 1 ]'
sleep 1
check_eq "failing at start: no source, nothing sent" "" "$(pwraux_fields)"
check_eq "failing at start: Mode = 0" 0 "$(stored_mode)"
kqdtb wmi-fail-exec off >/dev/null
kqdtb wmi-mode 3 >/dev/null
check "failing at start: a display cycle" display_cycle
check "failing at start: then the provider's mode is published" fields_are "10 8 3"
stress_settled "failing at start" 3 4 wmi_fold

echo "# ExecMethod fails while running: a burst publishes the mode held, then sound again"
kqdtb wmi-fail-exec $WBEM_E_FAILED >/dev/null
kqdtb wmi-mode 1 >/dev/null
kqdtb pwraux-clear >/dev/null
check "failing: five events delivered" kqdtb wmi-fire 5 20
# Each burst that ends publishes; what it publishes is the mode held.
held_announced() { [[ "$(pwraux_fields)" =~ ^8\ 3(\ 8\ 3)*$ ]]; }
check "failing: only the mode held (3) is announced" wait_for 5 held_announced
check_eq "failing: Mode stays 3" 3 "$(stored_mode)"
kqdtb wmi-fail-exec off >/dev/null
stress_settled "failing, then sound" 3 1 wmi_fold

echo "# A query under way when detection stops"
kqdtb wmi-hold on >/dev/null
kqdtb wmi-mode 2 >/dev/null
kqdtb pwraux-clear >/dev/null
check "held: an event delivered" kqdtb wmi-fire
check "held: its query waits in ExecMethod" wait_for 10 eval '[ "$(kqdtb wmi-held | tr -d "\r")" -ge 1 ]'
kqdtb display-off >/dev/null &
off=$!
sleep 1
kqdtb wmi-hold off >/dev/null
check "held: display off completes once the query returns" wait "$off"
# Its answer is stored in the controller that is going away; the next start asks again.
check "held: only the detach code" fields_are 11
kqdtb pwraux-clear >/dev/null
check "held: display on" kqdtb display-on
check "held: the provider's mode is published at the start" fields_are "10 8 2"
stress_settled "after the held query" 2 4 wmi_fold

echo "# Events into a cancelled subscription"
kqdtb wmi-late-event 300 >/dev/null
kqdtb wmi-clear >/dev/null
kqdtb pwraux-clear >/dev/null
kqdtb wmi-mode 1 >/dev/null
check "late: display off" kqdtb display-off
check "late: the event reached the cancelled sink" wait_for 10 record_count_is late 1
sleep 0.5
check_eq "late: no query after it" 0 "$(record_count query)"
check_eq "late: only the detach code" 11 "$(pwraux_fields)"
check_eq "late: Mode stays 2" 2 "$(stored_mode)"
for cycle in 1 2 3; do
  { kqdtb display-on >/dev/null && kqdtb display-off >/dev/null; } || echo "  display cycle $cycle not delivered"
done
check "late: three more cancelled sinks, each with its late event" wait_for 10 record_count_is late 4
kqdtb wmi-late-event off >/dev/null
check "late: display on again" kqdtb display-on
stress_settled "after the late events" 1 3 wmi_fold
# The record began with one subscription live; one is live again.
check_eq "late: every subscription but one cancelled" "$(record_count subscribe)" "$(record_count cancel)"

stress_stop "after the faults"
e2e_done

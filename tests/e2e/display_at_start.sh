#!/usr/bin/env bash
# What Windows tells a service right after it registers its power settings: the
# current value of each. The installed kqd.exe starts with the machine's console
# display on, dimmed or off (kqdtb display-*, set before the start), with the WMI
# source; on 1809 the service also registers the uninstall task at every start
# request. CASE: on | on_1809 | dimmed | off
#
# Whether the display's value reaches the worker before or after it has taken the
# start request of Start decides whether OnStart runs once or twice (the two
# requests fold into one auto-reset event): the cases at the double's default delay
# (0) take either; on_1809 tells the values 500 ms after the service reports
# running, long after the worker took Start's request, so OnStart runs twice.
. "$(dirname "$0")/lib.sh"
kqd_wine_start_server || exit 1
trap e2e_cleanup EXIT

case_name=${1:?usage: display_at_start.sh on|on_1809|dimmed|off}
power_line() { kqdtb power-read | tr -d '\r' | awk -F'\t' -v k="$1" '$1 == k {print $2}'; }
# "SETTING CURRENT" of each registration the process made, sorted.
currents_of() {
  kqdtb power-read | tr -d '\r' |
    awk -F'\t' -v p="$1." '$1 == "registration" && index($2, p) == 1 {print $3, $8}' | sort
}
currents_are() { [ "$(currents_of "$1")" = "$2" ]; }
expected_currents() { # CONSOLE-DISPLAY-VALUE: AC, display, session display on, lid open
  printf '%s\n' "{2B84C20E-AD23-4DDF-93DB-05FFBD7EFCA5} 1" "{5D3E9A59-E9D5-4B00-A6BD-FF34FF516548} 0" \
    "{6FE69556-704A-47A0-8F24-C28D936FDA47} $1" "{BA3E0F4D-B817-4094-A2D1-D56379E6A0F3} 1"
}
count_of() { local f n=0; for f in $(pwraux_fields); do [ "$f" = "$1" ] && n=$((n + 1)); done; echo "$n"; }
registrations() { kqdtb tasks-registrations | tr -d '\r' | grep -c '^\\Tavmir\\Tavmir KQD Uninstall Task 0x00000000$'; }
registrations_are() { [ "$(registrations)" = "$1" ]; }
subscriptions_live() { # subscribe lines less cancel lines of the WMI double's record
  kqdtb wmi-read | tr -d '\r' | awk '$1 == "subscribe" {n++} $1 == "cancel" {n--} END {print n + 0}'
}

start_with_display() { # COMMAND VALUE VERSION [DELAY-MS]
  e2e_machine
  setup "current values ${4:-0} ms after the service runs" kqdtb power-delay "${4:-0}"
  setup "Windows 10 $3" kqdtb machine "$3"
  if [ "$3" = 1809 ]; then
    setup "Task Scheduler double" kqdtb install-taskschd
    kqd_machine_installed+=(taskschd)
    setup "no tasks" kqdtb tasks-clear
  fi
  setup "WMI provider at mode 1" bash -c 'k=$1; "$k" wmi-provider on && "$k" wmi-instances 1 && "$k" wmi-mode 1' _ \
    "$KQD_TESTBED/kqdtb"
  check "$1 before the service runs: the machine keeps it" kqdtb "$1"
  check_eq "display-state" "$(case $2 in 0) echo off ;; 1) echo on ;; 2) echo dimmed ;; esac)" \
    "$(kqdtb display-state | tr -d '\r')"
  kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
  check "service installed" kqdtb install-service
  kqdtb pwraux-clear >/dev/null
  kqdtb power-clear >/dev/null
  if [ "$2" = 0 ]; then
    # Detection ends at once and its WMI client goes with it: the doubles are proven
    # when the display comes on.
    kqd_sc start KQD >/dev/null
    check "display 0 at start: service running" kqd_wait_service_state KQD RUNNING 30
  else
    e2e_start_service "display $2 at start"
  fi
  service=$(power_line process)
  check "each of the four settings told its current value once the service runs" \
    wait_for 10 currents_are "$service" "$(expected_currents "$2")"
  check_eq "four current values delivered to the handler" 4 "$(power_line current-delivered)"
}

# Display on or dimmed: Start's request and the display's current value run OnStart
# twice; the second finds the controller and starts nothing more.
expect_one_detection() {
  check "attach code, then the first mode published" fields_are "10 9 1"
  sleep 1
  check_eq "attached once: one controller" 1 "$(count_of 10)"
  check_eq "one WMI event subscription" 1 "$(subscriptions_live)"
  kqd_fold wmi 3
  check "a fold to 3 is published" mode_is 3
  check "the fold sends posture 8 then raw 3, once" fields_are "10 9 1 8 3"
}

case "$case_name" in
on)
  start_with_display display-on 1 2009
  expect_one_detection
  for bad in -5 12x 10001 "1 2"; do
    check "power-delay refuses \"$bad\"" not kqdtb power-delay $bad 2>/dev/null
  done
  check_eq "and keeps its value" 0 "$(kqdtb power-delay | tr -d '\r')"
  ;;
on_1809)
  start_with_display display-on 1 1809 500
  # Each OnStart registers the task; the second one's CoInitializeSecurity meets the
  # security the first set.
  check "the uninstall task registered twice: OnStart ran twice" wait_for 30 registrations_are 2
  expect_one_detection
  sleep 1
  check_eq "no third registration" 2 "$(registrations)"
  ;;
dimmed)
  start_with_display display-dim 2 2009
  expect_one_detection
  ;;
off)
  start_with_display display-off 0 2009
  # Start's own request runs OnStart before the display's off reaches the worker;
  # whatever detection began is ended by it, and then nothing is published.
  detached() { [ "$(count_of 10)" = "$(count_of 11)" ] && [ "$(subscriptions_live)" = 0 ]; }
  check "detection ended by the display's current value" wait_for 10 detached
  fields=$(pwraux_fields)
  echo "  sent before the display's off ended detection: ${fields:-nothing}"
  check "every attach was followed by its detach" bash -c '[[ -z $1 || ($1 == 10* && $1 == *11) ]]' _ "$fields"
  mode=$(stored_mode)
  kqdtb wmi-mode 3 >/dev/null
  sleep 1
  check_eq "display off: nothing more sent" "$fields" "$(pwraux_fields)"
  check_eq "display off: Mode unchanged" "$mode" "$(stored_mode)"
  kqdtb pwraux-clear >/dev/null
  check "display on delivered" kqdtb display-on
  service_uses_doubles "display on"
  check "display on: attach code, then the mode published" fields_are "10 8 3"
  check "display on: Mode 3" mode_is 3
  ;;
*) echo "display_at_start.sh: unknown case $case_name" >&2; exit 2 ;;
esac
e2e_done

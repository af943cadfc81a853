#!/usr/bin/env bash
# The installed kqd.exe on the emulated convertible, once per mode source: only that
# source's double is plugged in, the machine is folded laptop -> 3 -> 4 -> tablet ->
# laptop, and after each step "Mode", the energy-management driver's requests, the
# slate-toggle writes and the system's slate state are checked.
. "$(dirname "$0")/lib.sh"
kqd_wine_start_server || exit 1
trap e2e_cleanup EXIT

e2e_machine
# Read here, not in the substitution below: an empty list would walk nothing and pass.
kqd_source_table || { echo "FAIL - set-up: no list of the mode sources from kqdtb sources"; exit 1; }
sources=${KQD_WALK_SOURCES:-$(kqd_sources)}

for source in $sources; do
  echo "# source: $source"
  check "$source: the only source plugged in" kqdtb plug-source "$source"
  kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
  check "$source: service installed" kqdtb install-service
  kqdtb pwraux-clear >/dev/null
  kqdtb slate-reset >/dev/null
  start_state=$(slate_state)
  # Past the WMI source, the Sensor API is asked too.
  if [ "$source" = wmi ]; then e2e_start_service "$source"; else e2e_start_service "$source" kqdsensors.dll; fi
  # The source announces itself to the energy-management driver with the attach code;
  # the WMI source also publishes the provider's mode at once, since "Mode" is still 0.
  if [ "$source" = wmi ]; then
    check "$source: attach code, then the first mode published" fields_are "10 9 1"
    check "$source: Mode = 1 at start" mode_is 1
    check "$source: mode 1 at start: the system's slate state (was $start_state)" slate_settles_to laptop
  else
    check "$source: attach code sent" fields_are 10
  fi

  for mode in 1 3 4 2 1; do
    kqdtb pwraux-clear >/dev/null
    before=$(slate_writes)
    state_before=$(slate_state)
    if [ "$source" = driver ]; then kqd_fold_until driver "$mode"; else kqd_fold "$source" "$mode"; fi
    check "$source: Mode = $mode" mode_is "$mode"
    if [ "$source" = driver ]; then
      # The driver source's switches are all off: the mode is stored, nothing is sent.
      sleep 0.3
      check_eq "$source: mode $mode sends nothing" "" "$(pwraux_fields)"
      check_eq "$source: mode $mode leaves the slate toggle alone" "$before" "$(slate_writes)"
      check_eq "$source: mode $mode leaves the system's slate state" "$state_before" "$(slate_state)"
    else
      posture=$([ "$mode" -le 1 ] && echo 9 || echo 8)
      check "$source: mode $mode sends posture $posture then raw $mode" fields_are "$posture $mode"
      # One toggle where the system's slate state disagreed with the mode; then they agree.
      wanted=$(slate_state_for "$mode")
      expected=$([ "$state_before" != "$wanted" ] && echo $((before + 1)) || echo "$before")
      check_eq "$source: mode $mode slate writes (the system was in $state_before mode)" "$expected" "$(slate_writes)"
      check "$source: mode $mode: the system's slate state becomes $wanted" slate_settles_to "$wanted"
    fi
  done

  kqdtb pwraux-clear >/dev/null
  kqd_sc stop KQD >/dev/null
  check "$source: service stopped" kqd_wait_service_state KQD STOPPED 30
  check "$source: detach code sent" fields_are 11
  check_eq "$source: the process is gone" 0 "$(live_processes kqd.exe)"
done
e2e_done

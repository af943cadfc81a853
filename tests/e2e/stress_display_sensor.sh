#!/usr/bin/env bash
# The installed kqd.exe while the console display goes off and on in a storm, the
# G-sensor double floods reports, and the sensor itself arrives late, in the middle
# of the storm: the service starts with no source at all. Afterwards detection runs
# from the one sensor source, the last posture is the published one, and every
# thread the storm started has ended.
. "$(dirname "$0")/stress_lib.sh"
kqd_wine_start_server || exit 1
trap e2e_cleanup EXIT

power_line() { kqdtb power-read | tr -d '\r' | awk -F'\t' -v k="$1" '$1 == k {print $2}'; }
# The cycles, each request waited for by the powrprof double; detection ends as the
# last one leaves it, on.
display_storm() { # CYCLES
  local i
  for ((i = 1; i <= $1; i++)); do
    kqdtb display-off >/dev/null || echo "  display-off $i not delivered"
    kqdtb display-on >/dev/null || echo "  display-on $i not delivered"
  done
}
# Floods until the storm's marker file is gone: folded 3 and 4 in turn.
sensor_flood_while() { # MARKER
  while [ -e "$1" ]; do kqdtb sensor-flood 100 $(kqd_mode_angles 3) $(kqd_mode_angles 4) >/dev/null || sleep 0.1; done
}
storm() { # LABEL CYCLES [late]
  local marker flood
  marker=$(mktemp)
  sensor_flood_while "$marker" &
  flood=$!
  if [ "${3:-}" = late ]; then
    display_storm $(($2 / 2))
    check "$1: the sensor arrives" kqdtb sensor-plug
    display_storm $(($2 - $2 / 2))
  else
    display_storm "$2"
  fi
  rm -f "$marker"
  wait "$flood"
  # The flood ends, as a user stops turning the device, in tablet posture.
  check "$1: a last burst ending in tablet posture" kqdtb sensor-flood 50 $(kqd_mode_angles 4) $(kqd_mode_angles 2)
}
# Samples until two readings 2 s apart agree.
steady_threads() {
  local before after i
  after=$(thread_count)
  for i in 1 2 3 4 5 6 7 8 9 10; do
    sleep 2
    before=$after
    after=$(thread_count)
    [ "$before" = "$after" ] && break
  done
  echo "$after"
}

e2e_machine
check "no source offers a mode" kqdtb plug-source none
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
check "service installed" kqdtb install-service
kqdtb power-clear >/dev/null
stress_start "no source"
sleep 1
check_eq "no source: nothing sent to the energy driver" "" "$(pwraux_fields)"

echo "# 30 display cycles while the sensor floods; the sensor arrives half way"
SECONDS=0
storm "storm 1" 30 late
echo "  (storm 1 took ${SECONDS}s)"
stress_settled "storm 1" 2 1 sensor_fold
check_eq "storm 1: one sensor manager sink" 1 "$(sensor_status manager-sinks)"
check_eq "storm 1: one sink on the sensor" 1 "$(sensor_status sensor-sinks)"
baseline=$(steady_threads)
echo "  kqd.exe runs $baseline threads"
stats=$(kqdtb proc-stats kqd.exe | tr -d '\r')
check_eq "the benchmark's thread count (Toolhelp) agrees with Linux" "\"threads\": $baseline" \
  "$(grep -o '"threads": [0-9]*' <<<"$stats")"

echo "# 20 more cycles with the sensor in place"
storm "storm 2" 20
stress_settled "storm 2" 2 3 sensor_fold
check_eq "storm 2: one sensor manager sink" 1 "$(sensor_status manager-sinks)"
check_eq "storm 2: one sink on the sensor" 1 "$(sensor_status sensor-sinks)"
check "storm 2: no thread left behind" threads_back_to "$baseline"
check_eq "every display request was handled" "$(power_line delivered)" "$(power_line handled)"
check "100 display requests delivered" test "$(power_line delivered)" -ge 100

echo "# 2000 reports in one burst, alternating laptop and fold 3: one publication"
kqdtb pwraux-clear >/dev/null
check "the burst delivered" kqdtb sensor-burst 2000 $(kqd_mode_angles 1) $(kqd_mode_angles 3)
check "one evaluation after the burst published fold 3" fields_are "8 3"
check "burst: Mode = 3" mode_is 3
check "burst: no thread left behind" threads_back_to "$baseline"

stress_stop "after the storms"
check "display cycles need a running service" bash -c '! "$1" display-cycle 1 2>/dev/null' _ "$KQD_TESTBED/kqdtb"
e2e_done

# Shared by the stress and fault scenarios: the state each must end in, whatever
# was thrown at the service. Sourced after lib.sh's setup, by the scenario.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

thread_count() { local pid; pid=$(kqd_unix_pid kqd.exe) && find "/proc/$pid/task" -mindepth 1 -maxdepth 1 | wc -l; }
threads_are() { [ "$(thread_count)" = "$1" ]; }
# Polled: pool threads of the platform may take a few seconds to retire.
threads_back_to() { # BASELINE
  wait_for 20 threads_are "$1" && return 0
  echo "  kqd.exe runs $(thread_count) threads, $1 before"
  return 1
}
# kqd.exe's CPU time in clock ticks, user and system.
cpu_ticks() { local pid; pid=$(kqd_unix_pid kqd.exe) && awk '{print $14 + $15}' "/proc/$pid/stat"; }
# Less than a tenth of a core over two seconds: not spinning.
idle() {
  local before after hz
  hz=$(getconf CLK_TCK)
  before=$(cpu_ticks); sleep 2; after=$(cpu_ticks)
  [ $((after - before)) -lt $((hz / 5)) ] || { echo "  kqd.exe used $((after - before)) ticks in 2 s"; return 1; }
}
last_field() { local f; f=$(pwraux_fields); echo "${f##* }"; }
posture_code() { [ "$1" -le 1 ] && echo 9 || echo 8; }
sensor_status() { kqdtb sensor-read | tr -d '\r' | awk -v k="$1" '$1 == k {print $2}'; }
exit_code() { kqd_sc query KQD | tr -d '\r' | sed -n 's/.*WIN32_EXIT_CODE *: *\([0-9]*\).*/\1/p'; }

# stress_settled LABEL LAST OTHER FOLD-FUNCTION [mode-only]: the service still runs
# in one process; "Mode" holds the last posture LAST; one change to OTHER and back
# is announced exactly once each (a second broadcaster or a second controller's
# source would announce it twice). With the driver source announcements only store
# "Mode" (mode-only): then nothing may reach the energy driver.
stress_settled() {
  local label=$1 last=$2 other=$3 fold=$4 expect
  check "$label: service running" test "$(kqd_service_state KQD)" = RUNNING
  check_eq "$label: one kqd.exe" 1 "$(live_processes kqd.exe)"
  check "$label: Mode = $last, the last posture" mode_is "$last"
  for mode in "$other" "$last"; do
    kqdtb pwraux-clear >/dev/null
    "$fold" "$mode"
    check "$label: Mode follows a change to $mode" mode_is "$mode"
    if [ "${5:-}" = mode-only ]; then
      sleep 0.3
      check_eq "$label: nothing sent to the energy driver" "" "$(pwraux_fields)"
    else
      check "$label: the change to $mode is announced once" fields_are "$(posture_code "$mode") $mode"
    fi
  done
}

# Ends the given background jobs and the Wine processes they started.
kill_tree() {
  local pid child
  for pid in "$@"; do
    for child in $(pgrep -P "$pid"); do kill_tree "$child"; done
    kill "$pid" 2>/dev/null
  done
}

# stress_stop LABEL: a stop is honoured, the one controller detaches once, the
# process ends with exit code 0.
stress_stop() {
  kqdtb pwraux-clear >/dev/null
  kqd_sc stop KQD >/dev/null
  check "$1: service stopped" kqd_wait_service_state KQD STOPPED 30
  check "$1: one detach code" fields_are 11
  check_eq "$1: exit code 0" 0 "$(exit_code)"
  check "$1: the process is gone" wait_for 10 eval '[ "$(live_processes kqd.exe)" = 0 ]'
}

stress_start() { # LABEL [DLL...]
  kqdtb pwraux-clear >/dev/null
  e2e_start_service "$@"
}

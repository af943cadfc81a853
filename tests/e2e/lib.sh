# Shared by the end-to-end scenarios: the testbed CLI's helpers plus checks that
# count, so that a scenario reports every failed expectation before it exits.
set -u
KQD_TESTBED=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../testbed" && pwd)
: "${KQD_BUILD:?KQD_BUILD must name the Windows build tree}"
export KQD_TESTBED KQD_BUILD
. "$KQD_TESTBED/cli/lib.sh"
kqdtb() { "$KQD_TESTBED/kqdtb" "$@"; }

e2e_failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; e2e_failures=$((e2e_failures + 1)); fi
}
check_eq() { # check_eq DESCRIPTION EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok   - $1"; else
    printf 'FAIL - %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"; e2e_failures=$((e2e_failures + 1)); fi
}
not() { ! "$@"; }
stored_mode_is() { [ "$(stored_mode)" = "$1" ]; }
mode_is() { wait_for "${2:-10}" stored_mode_is "$1"; } # mode_is MODE [SECONDS]

e2e_done() {
  [ "$e2e_failures" -eq 0 ] && { echo "scenario passed"; exit 0; }
  echo "scenario failed: $e2e_failures expectation(s)"; exit 1
}

# Live (not zombie) processes of this build's prefix whose name is the given Windows
# image; other prefixes on the machine may run their own.
live_processes() {
  local prefix pid count=0
  prefix=$(realpath "$KQD_WINEPREFIX")
  for pid in $(ps -eo pid=,stat=,comm= | awk -v n="$1" '$3 == n && $2 !~ /^Z/ {print $1}'); do
    grep -qF "$prefix/" "/proc/$pid/maps" 2>/dev/null && count=$((count + 1))
  done
  echo "$count"
}

# The machine's slate state ("laptop" or "slate") and the one a mode needs: 0 and 1
# are laptop, the rest slate.
slate_state() { kqd_slate_state; }
slate_state_for() { [ "$1" -le 1 ] && echo laptop || echo slate; }
slate_writes() { kqdtb slate-read 0 | tr -d '\r' | awk -F'\t' '{print $2}'; }
# A toggle shows the double's lag after the write: polls up to 5 s for STATE, and
# shows the state it found when it does not come.
slate_settles_to() { # STATE
  wait_for 5 kqd_slate_state_is "$1" && return 0
  echo "  the system's slate state stays $(slate_state)"
  return 1
}

# A trace of modes with each mode's angles, so every source can replay it:
# write_mode_trace FILE TIME:MODE...
write_mode_trace() {
  local file=$1 row; shift
  { echo "time_ms,a,b,mode"
    for row in "$@"; do echo "${row%%:*},$(kqd_mode_angles "${row##*:}" | tr ' ' ,),${row##*:}"; done
  } >"$file"
}
# Quick folds for the slate toggle's lag, named SOURCE_WHAT.csv in DIR: WMI
# announcements 15 to 20 ms apart; a sensor burst inside one debounce, and
# postures one debounce and 50 ms apart.
write_slate_lag_traces() { # DIR
  local step
  step=$(kqd_source_delay_ms sensor) || return 1
  step=$((step + 50))
  write_mode_trace "$1/wmi_to_laptop.csv" 0:3 20:1 40:3 60:1 80:4 100:1
  write_mode_trace "$1/wmi_to_slate.csv" 0:3 15:1 30:3 45:1 60:3
  write_mode_trace "$1/sensor_burst.csv" 0:3 15:1 30:3 45:2 60:4
  write_mode_trace "$1/sensor_steps_to_laptop.csv" 0:3 $step:1 $((2 * step)):3 $((3 * step)):1
  write_mode_trace "$1/sensor_steps_to_slate.csv" 0:3 $step:1 $((2 * step)):3
  write_mode_trace "$1/sensor_there_and_back.csv" 0:3 $step:1
}

fields_now_are() { [ "$(pwraux_fields)" = "$1" ]; }
# Polls up to 5 s for exactly these fields; shows what arrived when they do not.
fields_are() {
  wait_for 5 fields_now_are "$1" && return 0
  echo "  the energy-management driver received: $(pwraux_fields)"
  return 1
}

# A set-up step. A machine that is not what the scenario takes it for would only
# cascade into time-outs: on failure the scenario stops at once, with the reason.
setup() { # setup DESCRIPTION COMMAND...
  local what=$1 out; shift
  if out=$("$@" 2>&1); then echo "ok   - set-up: $what"; return 0; fi
  echo "FAIL - set-up: $what"
  printf '%s\n' "$out" | tr -d '\r' | sed 's/^/  /'
  echo "scenario failed: its machine could not be set up"
  exit 1
}

# The driver doubles come from ctest fixtures; run by hand, a scenario installs what
# is missing and e2e_cleanup removes only that (kqd_machine_installed).
need_power() { kqd_machine_need setup power "powrprof double installed" kqd_power_double_present; }
# The emulated convertible for a scenario (kqd_machine_up): Windows 10 2009.
e2e_machine() { kqd_machine_up setup 2009; }

# The DLLs that the service's process has mapped, as Unix paths.
service_dlls() {
  local pid
  pid=$(kqd_unix_pid kqd.exe) || return 1
  awk 'tolower($6) ~ /\.dll$/ {print $6}' "/proc/$pid/maps" | sort -u
}
# Mapped from the prefix's system32: a double, not Wine's builtin of the same name.
maps_double() { service_dlls | grep -qixF "$(realpath "$KQD_SYSTEM32")/$1"; }
maps_wine_wmi() { service_dlls | grep -qi '/wbemprox\.dll$'; }
# Before a scenario judges anything: the service talks to the doubles it relies on.
# Wine's own WMI would answer the probe with mode 0 and never deliver an event; a
# builtin powrprof or cfgmgr32 would never deliver a display change or list a device.
# Stops the scenario at once otherwise. DOUBLES: kqdwbem.dll (always: WMI is asked
# first), and whatever else the scenario names, e.g. kqdsensors.dll.
service_uses_doubles() { # LABEL [DLL...]
  local label=$1 dll; shift
  local wanted=(kqdwbem.dll "$@")
  kqd_power_double_present && wanted+=(powrprof.dll)
  kqdtb slate-present >/dev/null 2>&1 && wanted+=(cfgmgr32.dll)
  for dll in "${wanted[@]}"; do
    if ! wait_for 10 maps_double "$dll"; then
      echo "FAIL - $label: the service's process has not loaded the double $dll; it maps:"
      service_dlls | sed 's/^/  /'
      echo "scenario failed: the service does not talk to the testbed"
      exit 1
    fi
  done
  if maps_wine_wmi; then
    echo "FAIL - $label: the service's process loaded Wine's WMI (wbemprox.dll)"
    echo "scenario failed: the service does not talk to the testbed"
    exit 1
  fi
  echo "ok   - $label: the service uses the doubles (${wanted[*]})"
}

# Starts the installed service and proves it uses the doubles: LABEL [DLL...]
e2e_start_service() {
  local label=$1; shift
  kqd_sc start KQD >/dev/null
  check "$label: service running" kqd_wait_service_state KQD RUNNING 30 || return 1
  service_uses_doubles "$label" "$@"
}

# Folds for stress_settled and the scenarios; the driver's is retried (kqd_fold_until).
# A fold that cannot be delivered is a failure of its own, not a mode that never came.
fold_delivered() { # SOURCE MODE COMMAND...
  local source=$1 mode=$2; shift 2
  "$@" && return 0
  echo "FAIL - the fold to $mode through the $source double was not delivered"
  e2e_failures=$((e2e_failures + 1))
  return 1
}
sensor_fold() { fold_delivered sensor "$1" kqd_fold sensor "$1"; }
wmi_fold() { fold_delivered WMI "$1" kqd_fold wmi "$1"; }
driver_fold() { kqd_fold_until driver "$1"; }

# The service stopped and removed, the COM doubles and what need() installed
# removed, the mode key deleted.
e2e_cleanup() {
  kqd_sc stop KQD >/dev/null 2>&1
  kqd_wait_service_state KQD STOPPED 30 >/dev/null 2>&1
  kqdtb remove-service >/dev/null 2>&1
  kqdtb remove-sensors >/dev/null 2>&1
  kqdtb remove-wmi >/dev/null 2>&1
  local name
  for name in "${kqd_machine_installed[@]}"; do kqdtb "remove-$name" >/dev/null 2>&1; done
  kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
}

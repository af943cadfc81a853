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

fields_now_are() { [ "$(pwraux_fields)" = "$1" ]; }
# Polls up to 5 s for exactly these fields; shows what arrived when they do not.
fields_are() {
  wait_for 5 fields_now_are "$1" && return 0
  echo "  the energy-management driver received: $(pwraux_fields)"
  return 1
}

# The driver doubles come from ctest fixtures; run by hand, a scenario installs what
# is missing (need) and e2e_cleanup removes only that.
e2e_installed=()
need() { # need PRESENCE-COMMAND NAME
  kqdtb "$1" >/dev/null 2>&1 && return 0
  check "$2 double installed" kqdtb "install-$2" && e2e_installed+=("$2")
}
# The powrprof double, for the service process: display-off|on|dim reach its handler.
power_double_present() {
  grep -qaF KqdPowrprofDouble "$KQD_SYSTEM32/powrprof.dll" 2>/dev/null &&
    [ "$(kqd_reg_sz 'HKCU\Software\Wine\AppDefaults\kqd.exe\DllOverrides' /v powrprof)" = native,builtin ]
}
need_power() {
  power_double_present && return 0
  check "powrprof double installed" kqdtb install-power && e2e_installed+=(power)
}
# The emulated convertible for a scenario: Windows 10 2009, the three driver doubles,
# the COM doubles for WMI and the Sensor API, with "power" the powrprof double too.
e2e_machine() {
  check "the machine runs Windows 10 2009" kqdtb machine 2009
  need pwraux-present pwraux
  need slate-present slate
  need davodira-present davodira
  [ "${1:-}" = power ] && need_power
  check "WMI double" kqdtb install-wmi
  check "Sensor API double" kqdtb install-sensors
}

# Folds for stress_settled and the scenarios; the driver's is retried (kqd_fold_until).
sensor_fold() { kqd_fold sensor "$1"; }
wmi_fold() { kqd_fold wmi "$1"; }
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
  for name in "${e2e_installed[@]}"; do kqdtb "remove-$name" >/dev/null 2>&1; done
  kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
}

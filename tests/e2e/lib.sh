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
# Polls a command for up to $1 seconds.
wait_for() {
  local limit=$1 i; shift
  for ((i = 0; i < limit * 10; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

# The stored "Mode" in decimal; empty when absent.
stored_mode() {
  kqd_wine reg query 'HKLM\SOFTWARE\Tavmir\TarsiMode' /v Mode 2>/dev/null | tr -d '\r' |
    awk '$1 == "Mode" {print $3}' | { read -r v && echo $((v)); }
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

# The third fields of the energy-management driver's requests since the last clear, as "9 1".
pwraux_fields() {
  local ms code bytes outcome out=() b
  while IFS=$'\t' read -r ms code bytes outcome; do
    read -ra b <<<"$bytes"
    [ "${#b[@]}" -eq 12 ] && out+=("$((16#${b[11]}${b[10]}${b[9]}${b[8]}))")
  done < <(kqdtb pwraux-read | tr -d '\r')
  echo "${out[*]}"
}
fields_now_are() { [ "$(pwraux_fields)" = "$1" ]; }
# Polls up to 5 s for exactly these fields; shows what arrived when they do not.
fields_are() {
  wait_for 5 fields_now_are "$1" && return 0
  echo "  the energy-management driver received: $(pwraux_fields)"
  return 1
}

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

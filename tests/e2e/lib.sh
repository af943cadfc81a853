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

# Live (not zombie) Linux processes whose name is the given Windows image.
live_processes() { ps -eo stat=,comm= | awk -v n="$1" '$2 == n && $1 !~ /^Z/' | wc -l; }

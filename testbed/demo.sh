#!/usr/bin/env bash
# The walk-through on the emulated convertible: kqd.exe installed the way its
# driver package installs it, started and stopped under Wine's service manager.
set -u
KQD_TESTBED=$(cd "$(dirname "$0")" && pwd)
KQD_BUILD=${KQD_BUILD:-$KQD_TESTBED/../build/windows}
KQD_BUILD=$(cd "$KQD_BUILD" && pwd)
export KQD_TESTBED KQD_BUILD
. "$KQD_TESTBED/cli/lib.sh"
kqdtb() { "$KQD_TESTBED/kqdtb" "$@"; }

step() { printf '\n== %s\n' "$*"; }
show_state() { kqd_wine sc query KQD | tr -d '\r' | sed -n 's/^ *\(STATE\|WIN32_EXIT_CODE\) *: */  \1: /p'; }
fail() { echo "demo: $*" >&2; kqdtb remove-service >/dev/null 2>&1; kqd_wine_stop_server; exit 1; }

step "Wine environment ($KQD_WINEPREFIX)"
kqd_wine_start_server || fail "no Wine prefix"
echo "  prefix ready, wineserver running"

step "A Windows 10 (2009) machine: WMI and Task Scheduler running"
kqdtb machine 2009 || fail "machine setup failed"

step "Install the service as its driver package does"
kqdtb install-service || fail "install failed"
kqd_wine reg query 'HKLM\System\CurrentControlSet\Services\KQD' | tr -d '\r' |
  grep -E '^\s+(Type|Start|ObjectName|ImagePath)\s' | sed 's/^ */  /'

step "Start KQD"
kqd_sc start KQD >/dev/null
kqd_wait_service_state KQD RUNNING 30 || fail "KQD did not start"
show_state
for _ in $(seq 50); do
  mode=$(kqd_wine reg query 'HKLM\SOFTWARE\Tavmir\TarsiMode' /v Mode 2>/dev/null | tr -d '\r' | awk '$1 == "Mode" {print $3}')
  [ -n "$mode" ] && break; sleep 0.1
done
echo "  stored mode (HKLM\SOFTWARE\Tavmir\TarsiMode Mode): ${mode:-none} (no mode source on bare Wine: unknown)"

step "Stop KQD"
kqd_sc stop KQD >/dev/null
kqd_wait_service_state KQD STOPPED 30 || fail "KQD did not stop"
show_state

step "Remove the service again"
kqdtb remove-service
kqd_wine_stop_server
echo
echo "demo finished"

#!/usr/bin/env bash
# kqd.exe from a console: the service path cannot reach a dispatcher; the switches
# that do nothing print nothing; every path exits 0. (Wine takes about 10 s to give
# up on the dispatcher, hence only two service-path runs; the grammar is covered natively.)
. "$(dirname "$0")/lib.sh"
kqd_service_exe_ready || exit 1
kqd_wine_start_server || exit 1
setup "the machine reset" kqdtb reset
need_power

run() { # prints stdout (text mode: CRLF folded to LF), then "rc=N"
  local out rc
  out=$(set -o pipefail; kqd_wine "$KQD_SERVICE_EXE" "$@" </dev/null | tr -d '\r'); rc=$?
  printf '%s|rc=%d' "$out" "$rc"
}

check_eq "no argument: dispatcher error 1063" "Service failed to run w/err 0x00000427|rc=0" "$(run)"
check_eq "PnPTask without a switch char runs the service path" \
  "Service failed to run w/err 0x00000427|rc=0" "$(run PnPTask)"
for arg in -INSTALL /install -Uninstall -foo - --PnPTask; do
  check_eq "$arg prints nothing and exits 0" "|rc=0" "$(run "$arg")"
done
# The driver package counts as present: the removal check changes nothing.
for arg in -PnPTask /pnptask -PNPTASK; do
  check_eq "$arg with the device present prints nothing and exits 0" "|rc=0" "$(run "$arg" extra args)"
done
e2e_done

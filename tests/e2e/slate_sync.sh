#!/usr/bin/env bash
# The system's slate state kept in line with the mode: the installed kqd.exe with
# the WMI source, each mode announced with the machine in laptop or in slate mode.
# The toggle is written only where the two disagree, and the state then follows it.
. "$(dirname "$0")/lib.sh"
kqd_wine_start_server || exit 1
trap e2e_cleanup EXIT

e2e_machine
check_eq "a fresh machine is a laptop" laptop "$(slate_state)"
# Bad input: a usage line, a non-zero exit, nothing changed.
refused() { local out; out=$(kqdtb "$@" 2>&1) && return 1; grep -q '^usage:' <<<"$out"; }
check "slate-state foo is refused" refused slate-state foo
check "slate-lag -5 is refused" refused slate-lag -5
check "slate-lag 10001 is refused" refused slate-lag 10001
check_eq "the state is unchanged" laptop "$(slate_state)"
check_eq "the lag is unchanged" 0 "$(kqdtb slate-lag | tr -d '\r')"
check "the WMI source plugged in" kqdtb plug-source wmi
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
check "service installed" kqdtb install-service
e2e_start_service wmi
check "attach code, then the provider's mode 1 published" fields_are "10 9 1"
check_eq "mode 1 on a laptop: no write" 0 "$(slate_writes)"

# mode, state before, writes, state after
while read -r mode state writes after; do
  label="mode $mode with the system in $state mode"
  kqdtb slate-state "$state" >/dev/null
  kqdtb slate-reset >/dev/null
  kqdtb pwraux-clear >/dev/null
  kqdtb wmi-mode "$mode" >/dev/null && kqdtb wmi-fire >/dev/null
  posture=$([ "$mode" -le 1 ] && echo 9 || echo 8)
  check "$label: posture $posture then raw $mode" fields_are "$posture $mode"
  check "$label: Mode = $mode" mode_is "$mode"
  check_eq "$label: slate writes" "$writes" "$(slate_writes)"
  check_eq "$label: then the system is in $after mode" "$after" "$(slate_state)"
done <<'CASES'
1 slate 1 laptop
1 laptop 0 laptop
3 laptop 1 slate
3 slate 0 slate
0 slate 1 laptop
0 laptop 0 laptop
CASES

kqd_sc stop KQD >/dev/null
check "service stopped" kqd_wait_service_state KQD STOPPED 30
e2e_done

#!/usr/bin/env bash
# The real kqd.exe under Wine's service control manager: create as the driver
# package does, start, stop (process gone), delete.
. "$(dirname "$0")/lib.sh"
kqd_wine_start_server || exit 1
setup "the machine reset" kqdtb reset
need_power
trap 'kqdtb remove-service >/dev/null 2>&1' EXIT

check "installs as the driver package does" kqdtb install-service
check "the installed kqd.exe is KQD_SERVICE_EXE" cmp -s "$KQD_SYSTEM32/kqd.exe" "$KQD_SERVICE_EXE"
if [ "$kqd_service_exe_packaged" = 1 ]; then
  check_eq "and the release package's, by its SHA256SUMS" \
    "$(awk '$2 == "kqd.exe" || $2 == "*kqd.exe" {print $1}' "$(dirname "$KQD_SERVICE_EXE")/SHA256SUMS" 2>/dev/null)" \
    "$(sha256sum <"$KQD_SYSTEM32/kqd.exe" | cut -d' ' -f1)"
else
  echo "note - KQD_SERVICE_EXE names another build ($KQD_SERVICE_EXE): no package checksum to compare"
fi
config=$(kqd_wine reg query 'HKLM\System\CurrentControlSet\Services\KQD' 2>/dev/null | tr -d '\r')
check "own process (type 0x10)" grep -Eq 'Type[[:space:]]+REG_DWORD[[:space:]]+0x10$' <<<"$config"
check "automatic start (2)" grep -Eq 'Start[[:space:]]+REG_DWORD[[:space:]]+0x2$' <<<"$config"
check "runs as LocalSystem" grep -Eq 'ObjectName[[:space:]]+REG_SZ[[:space:]]+LocalSystem$' <<<"$config"
check_eq "stopped after install" STOPPED "$(kqd_service_state KQD)"

check "the testbed emulates a Windows 10 2009 machine" kqdtb machine 2009
kqd_wine reg add 'HKLM\SOFTWARE\Tavmir\TarsiMode' /v Mode /t REG_DWORD /d 5 /f >/dev/null

kqd_sc start KQD >/dev/null
check "reaches RUNNING" kqd_wait_service_state KQD RUNNING 30
# With no mode source on bare Wine the controller still starts: it stores "unknown".
check "the mode controller stored Mode = 0" mode_is 0
check_eq "one kqd.exe process runs" 1 "$(live_processes kqd.exe)"
query=$(kqd_wine sc query KQD | tr -d '\r')
check "sc query reports state 4 RUNNING" \
  grep -Eq 'STATE[[:space:]]*:[[:space:]]*4[[:space:]]+RUNNING' <<<"$query"

kqd_sc stop KQD >/dev/null
check "reaches STOPPED" kqd_wait_service_state KQD STOPPED 30
no_kqd_process() { [ "$(live_processes kqd.exe)" = 0 ]; }
check "the process is gone" wait_for 10 no_kqd_process
check_eq "exit code 0" 0 "$(kqd_wine sc query KQD | tr -d '\r' | sed -n 's/.*WIN32_EXIT_CODE *: *\([0-9]*\).*/\1/p')"

# A second start in a fresh process works as the first did.
kqd_sc start KQD >/dev/null
check "starts again" kqd_wait_service_state KQD RUNNING 30
kqd_sc stop KQD >/dev/null
check "stops again" kqd_wait_service_state KQD STOPPED 30

kqd_sc delete KQD >/dev/null
check_eq "deleted" ABSENT "$(kqd_service_state KQD)"
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
e2e_done

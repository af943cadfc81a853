#!/usr/bin/env bash
# The Task Scheduler double installed in the prefix, driven through the testbed
# CLI: a process without a class object of its own reaches kqdtaskschd.dll under
# CLSID_TaskScheduler; the switch makes it unreachable; removal restores Wine's.
. "$(dirname "$0")/../../e2e/lib.sh"
kqd_wine_start_server || exit 1
setup "the machine reset" kqdtb reset
trap 'kqdtb tasks-unreachable 0 >/dev/null 2>&1; kqdtb tasks-clear >/dev/null 2>&1; kqdtb remove-taskschd >/dev/null 2>&1' EXIT

inproc='HKLM\Software\Classes\CLSID\{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}\InprocServer32'
server() { kqd_wine reg query "$inproc" /ve 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'; }
register() { # stdout of one CTaskScheduler registration in a fresh process, CRLF folded
  kqd_wine "$KQD_BIN/taskschd_tests.exe" --gtest_also_run_disabled_tests \
    --gtest_filter=TaskSchedulerInstalled.DISABLED_RegisterThroughTheRegistry </dev/null | tr -d '\r'
}

check "installs" kqdtb install-taskschd
check_eq "CLSID_TaskScheduler is the double" 'C:\windows\system32\kqdtaskschd.dll' "$(server)"
check "the store starts empty" kqdtb tasks-clear
kqdtb tasks-unreachable 0

out=$(register)
check "registration through the registry succeeds" grep -q '^registered=1$' <<<"$out"
check "no failure message" bash -c '! grep -q "CTaskScheduler::Initialize failed" <<<"$1"' _ "$out"
check_eq "tasks-list shows the one task" '\Tavmir\Tavmir KQD Uninstall Task' "$(kqdtb tasks-list | tr -d '\r')"
xml=$(kqdtb tasks-xml Tavmir 'Tavmir KQD Uninstall Task')
check "tasks-xml has the action" grep -Eq '^      <Command>.*\\taskschd_tests\.exe</Command>$' <<<"$xml"
check "tasks-xml has the arguments" grep -q '^      <Arguments>-PnPTask</Arguments>$' <<<"$xml"
check "tasks-xml has the trigger" grep -q '^    <EventTrigger id="Trigger1">$' <<<"$xml"
check_eq "tasks-folders shows its folder" '\Tavmir' "$(kqdtb tasks-folders | tr -d '\r')"
check_eq "no folder deletion is recorded yet" "" "$(kqdtb tasks-folder-deletions | tr -d '\r')"
out=$(kqd_wine "$KQD_BIN/taskschd_tests.exe" --gtest_also_run_disabled_tests \
  --gtest_filter=TaskSchedulerInstalled.DISABLED_DeleteTheTaskFolderThroughTheRegistry </dev/null | tr -d '\r')
check "deleting the folder that holds the task is refused" grep -q '^deleted=0x80070091$' <<<"$out"
check_eq "another process sees the attempt" '\Tavmir 0x80070091' "$(kqdtb tasks-folder-deletions | tr -d '\r')"
check_eq "and the folder stays" '\Tavmir' "$(kqdtb tasks-folders | tr -d '\r')"
check "tasks-xml of a missing task fails" bash -c '! "$1" tasks-xml Tavmir Missing >/dev/null 2>&1' _ "$KQD_TESTBED/kqdtb"

kqdtb tasks-clear
for mode in 1:0x80040154 2:0x80070426; do
  kqdtb tasks-unreachable "${mode%%:*}"
  out=$(register)
  check "unreachable ${mode%%:*}: message with ${mode#*:}" \
    grep -q "^CTaskScheduler::Initialize failed=${mode#*:}\$" <<<"$out"
  check "unreachable ${mode%%:*}: registration fails" grep -q '^registered=0$' <<<"$out"
  check_eq "unreachable ${mode%%:*}: nothing stored" "" "$(kqdtb tasks-list | tr -d '\r')"
done
check "tasks-unreachable refuses 3" bash -c '! "$1" tasks-unreachable 3 >/dev/null 2>&1' _ "$KQD_TESTBED/kqdtb"
kqdtb tasks-unreachable 0

check "removes" kqdtb remove-taskschd
check_eq "CLSID_TaskScheduler is Wine's again" 'C:\windows\system32\taskschd.dll' "$(server)"
e2e_done

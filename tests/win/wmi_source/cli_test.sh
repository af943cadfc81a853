#!/usr/bin/env bash
# The WMI double installed in the prefix and driven through the testbed CLI: a
# process without class objects of its own reaches kqdwbem.dll under
# CLSID_WbemLocator, gets the double's unsecured apartment, and follows the
# mode and the events that kqdtb sets and fires from another process.
. "$(dirname "$0")/../../e2e/lib.sh"
kqd_wine_start_server || exit 1
setup "the machine reset" kqdtb reset
follower_out=$(mktemp)
follower_pid=
cleanup() {
  [ -n "$follower_pid" ] && kill "$follower_pid" 2>/dev/null
  rm -f "$follower_out"
  kqdtb wmi-fail-exec off >/dev/null 2>&1; kqdtb wmi-clear >/dev/null 2>&1; kqdtb remove-wmi >/dev/null 2>&1
}
trap cleanup EXIT

inproc='HKLM\Software\Classes\CLSID\{4590F811-1D3A-11D0-891F-00AA004B2E24}\InprocServer32'
server() { kqd_wine reg query "$inproc" /ve 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'; }
record() { kqdtb wmi-read | tr -d '\r'; }
count() { grep -c "$1" <<<"$(record)"; }
refused() { ! "$KQD_TESTBED/kqdtb" "$@" >/dev/null 2>&1; }
within() { # within SECONDS COMMAND...: polls the command until it succeeds
  local limit=$1 i; shift
  for ((i = 0; i < limit * 10; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}
ended() { ! kill -0 "$1" 2>/dev/null; }
recorded() { grep -q "$1" <<<"$(record)"; }

check "installs" kqdtb install-wmi
check_eq "CLSID_WbemLocator is the double" 'C:\windows\system32\kqdwbem.dll' "$(server)"
check "a second install is harmless" kqdtb install-wmi
check "the record starts empty" kqdtb wmi-clear
check_eq "nothing recorded, nobody subscribed" "subscribed no" "$(record)"

check "refuses an instance count above 64" refused wmi-instances 65
check "refuses a count that wraps past 32 bits" refused wmi-instances 4294967297
check "refuses hex without digits" refused wmi-instances 0x
check "refuses a value row beyond VAL6" refused wmi-value VAL7 1
check "refuses a mode that is no number" refused wmi-mode two
check "refuses a succeeding HRESULT as failure" refused wmi-fail-exec 0
check "refuses a negative count" refused wmi-fire -1
check "wmi-value takes a float" kqdtb wmi-value VAL5 37.5
check "wmi-value takes none" kqdtb wmi-value VAL6 none

check "provider on" kqdtb wmi-provider on
check "mode 3" kqdtb wmi-mode 3
follower() { # a process of its own that probes, subscribes and prints each publication
  kqd_wine "$KQD_BIN/wmi_source_tests.exe" --gtest_also_run_disabled_tests \
    --gtest_filter=WmiInstalled.DISABLED_FollowTheProvider </dev/null >"$follower_out" 2>&1
}
said() { tr -d '\r' <"$follower_out" | grep -q "$1"; }
said_times() { tr -d '\r' <"$follower_out" | grep -c "$1"; }
follower &
follower_pid=$!

# wmi-fire waits for the follower's subscription before it fires.
check_eq "one event delivered" "delivered 1" "$(kqdtb wmi-fire | tr -d '\r')"
check "the follower probed mode 3" within 10 said '^probe=1 mode=3$'
check "the event's query was published" within 10 said '^published mode=3$'
check_eq "wmi-read: subscribed" "1" "$(count '^subscribed yes$')"
check_eq "wmi-read: one subscription" "1" "$(count '^subscribe [0-9]*$')"
check_eq "wmi-read: one event" "1" "$(count '^event [0-9]*$')"
check_eq "wmi-read: probe and event query" "2" "$(count '^query [0-9]* GetUsageMode 0x00000000$')"

check "mode 9" kqdtb wmi-mode 9
check_eq "a burst of three delivered" "delivered 3" "$(kqdtb wmi-fire 3 4 | tr -d '\r')"
check "the follower saw mode 9 and ended" within 20 ended "$follower_pid"
wait "$follower_pid" 2>/dev/null
follower_pid=
check "the follower passed" said '^\[  PASSED  \] 1 test'
check_eq "the burst published once" "1" "$(said_times '^published mode=9$')"
check_eq "wmi-read: the subscription was cancelled" "1" "$(count '^cancel [0-9]*$')"
check_eq "wmi-read: nobody subscribed" "1" "$(count '^subscribed no$')"
check "the cancellation reached the sink" said '^Call complete. hResult = 0x80041032$'

# Queries made from the probe; an injected failure is recorded with its HRESULT.
check "exec failure" kqdtb wmi-fail-exec 0x80041001
follower &
follower_pid=$!
check "the failing probe is recorded" within 20 recorded '^query [0-9]* GetUsageMode 0x80041001$'
kqdtb wmi-fail-exec off
check_eq "one more event delivered" "delivered 1" "$(kqdtb wmi-fire | tr -d '\r')"
check "its query ends the second follower" within 20 ended "$follower_pid"
wait "$follower_pid" 2>/dev/null
follower_pid=
check "the second follower's probe failed" said '^probe=0 mode=0$'

check "wmi-clear empties the record" kqdtb wmi-clear
check_eq "an empty record" "subscribed no" "$(record)"
check "wmi-fire without a subscriber fails" refused wmi-fire

check "removes" kqdtb remove-wmi
check_eq "CLSID_WbemLocator is Wine's again" 'C:\windows\system32\wbem\wbemprox.dll' "$(server)"
e2e_done

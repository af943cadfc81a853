#!/usr/bin/env bash
# kqdwatch against the installed service: started before the service exists, it
# prints the service's states in order, the stored mode through a fold, the slate
# state as its own session reads it (GetSystemMetrics, answered from the slate-toggle
# double through the cfgmgr32 double) with every change the service's toggle makes,
# announced by kqdtb slate-announce as Windows would, and the service's "<kqd>:"
# debugger lines (provoked by a registry that refuses the mode store); it costs
# nothing while nothing happens; a second reader of the debugger output is refused
# with a clear message; Ctrl+C (SIGINT, which Wine delivers to the console control
# handler as CTRL_C_EVENT) ends it with exit code 0, and its broadcaster with it.
. "$(dirname "$0")/lib.sh"
kqd_wine_start_server || exit 1
out=$(mktemp -d)
watcher=
cleanup() {
  kqdtb wmi-hold off >/dev/null 2>&1
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
  pid=$(kqd_unix_pid kqdwatch.exe) && kill "$pid" 2>/dev/null
  kqdtb dbwin-stop >/dev/null 2>&1
  wait 2>/dev/null
  e2e_cleanup
  rm -rf "$out"
}
trap cleanup EXIT

# The watch's lines without their time stamps (checked apart), CRLF folded.
events() { tr -d '\r' <"$out/watch.txt" | sed -n 's/^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9]  //p'; }
printed() { events | grep -qxF "$1"; }
shows() { wait_for "${2:-10}" printed "$1" || { echo "  not printed: $1"; return 1; }; }
# kqdwatch.exe's CPU time in clock ticks, user and system, all its threads.
cpu_ticks() { local pid; pid=$(kqd_unix_pid kqdwatch.exe) && awk '{print $14 + $15}' "/proc/$pid/stat"; }
idle() { # at most one clock tick in 2 s: it only waits
  local before after
  before=$(cpu_ticks) || return 1
  sleep 2
  after=$(cpu_ticks) || return 1
  [ $((after - before)) -le 1 ] || { echo "  kqdwatch.exe used $((after - before)) ticks in 2 s"; return 1; }
}
# OUTPUT-FILE RC: a second reader, ended at once with the message. Standard error
# reaches the file through the harness's filter of Wine's lines, a moment later.
refused() {
  [ "$2" -ne 0 ] && wait_for 5 grep -q "another debugger-output" "$1"
}
# The slate state as kqdwatch names it, and the values of its slate lines in order.
metric() { [ "$1" = slate ] && echo "0 (slate)" || echo "1 (laptop)"; }
slate_values() { events | sed -n 's/^slate    SM_CONVERTIBLESLATEMODE = \([^,]*\).*$/\1/p'; }
last_slate_is() { [ "$(slate_values | tail -1)" = "$(metric "$1")" ]; }
# The service's toggle shows in the machine's state (after the double's lag) and then
# in kqdwatch's session, through the broadcast.
slate_follows() { # STATE
  wait_for 10 kqd_slate_state_is "$1" || { echo "  the machine's slate state stays $(slate_state)"; return 1; }
  wait_for 10 last_slate_is "$1" || { echo "  kqdwatch's last slate state: $(slate_values | tail -1)"; return 1; }
}
# What kqdwatch should have seen: the state at its start, then each change the
# slate-toggle double recorded since then.
slate_history() {
  echo "$(metric "$slate_at_start")"
  kqdtb slate-record | tr -d '\r' | awk -F'\t' '$1 == "state" {print $3}' |
    while read -r state; do metric "$state"; done
}
# kqdwatch's process loaded the cfgmgr32 double, whose rewrite of its GetSystemMetrics
# import answers the slate state from the double (Wine's own always says slate).
watch_has_cfgmgr32_double() {
  local pid
  pid=$(kqd_unix_pid kqdwatch.exe) && grep -qiF "$(realpath "$KQD_SYSTEM32")/cfgmgr32.dll" "/proc/$pid/maps"
}
announcers() {
  local pid n=0
  for pid in $(ps -eo pid=,args= | awk '/kqdtb\.exe slate-announce/ {print $1}'); do
    kqd_of_prefix "$pid" && n=$((n + 1))
  done
  echo "$n"
}

e2e_machine
check "the WMI provider is the source" kqdtb plug-source wmi
kqdtb remove-service >/dev/null
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1

echo "# Another reader holds the debugger output: kqdwatch refuses to start"
kqdtb dbwin >"$out/dbwin.txt" 2>&1 &
dbwin=$!
check "kqdtb dbwin reads the debugger output" wait_for 20 grep -q ready "$out/dbwin.txt"
kqdtb watch >"$out/refused.txt" 2>&1
check "kqdwatch exits non-zero and says why" refused "$out/refused.txt" $?
kqdtb dbwin-stop >/dev/null
check "kqdtb dbwin ends" wait "$dbwin"

echo "# kqdwatch from before the service exists"
# The record from here on holds every change kqdwatch should see.
setup "the slate-toggle double's records emptied" kqdtb slate-reset
slate_at_start=$(slate_state)
toggles=$(kqdtb slate-list | tr -d '\r')
toggle_text="toggle device $(head -1 <<<"$toggles")"
[ "$(wc -l <<<"$toggles")" -gt 1 ] && toggle_text+=", the first of $(wc -l <<<"$toggles")"
KQD_SLATE_ANNOUNCE_LOG="$out/announce.txt" kqdtb watch >"$out/watch.txt" &
watcher=$!
check "starts: no key, no service" shows "mode     key TarsiMode absent" 20
check "starts: the service is absent" shows "service  KQD absent"
check "starts: the slate-toggle device the service will write to" shows "slate    $toggle_text"
check "starts: the slate state in its session, $slate_at_start" \
  shows "slate    SM_CONVERTIBLESLATEMODE = $(metric "$slate_at_start")"
check "kqdwatch's GetSystemMetrics goes to the cfgmgr32 double" watch_has_cfgmgr32_double
check "kqdtb slate-announce runs beside it" test "$(announcers)" -eq 1
check "the first line names the clock and what is watched" \
  grep -q '^kqdwatch: [0-9-]*, times local (system clock); "Mode" in HKLM\\SOFTWARE\\Tavmir\\TarsiMode' "$out/watch.txt"
check "kqdwatch is idle with nothing happening" idle

kqdtb watch >"$out/second.txt" 2>&1
check "a second kqdwatch exits non-zero and says why" refused "$out/second.txt" $?
kqdtb dbwin >"$out/dbwin2.txt" 2>&1
check "kqdtb dbwin exits non-zero and says why" refused "$out/dbwin2.txt" $?

echo "# Installed, started, folded once, stopped"
check "service installed" kqdtb install-service
check "the service appears, stopped" shows "service  KQD created, stopped"
# The source's first query is held, so that the controller's 0 and the provider's 1
# are two writes however slowly kqdwatch runs.
check "WMI queries held" kqdtb wmi-hold on
kqd_sc start KQD >/dev/null
check "service running" kqd_wait_service_state KQD RUNNING 30
check "the controller's first Mode, with the key" shows "mode     Mode = 0 (unknown), created"
check "WMI queries released" kqdtb wmi-hold off
check "the provider's laptop" shows "mode     Mode = 1 (laptop), was 0 (unknown)"
check "kqdwatch shows the slate state the laptop leaves (from $slate_at_start)" slate_follows laptop
check "kqdwatch is idle while the service runs" idle
wmi_fold 3
check "Mode = 3 stored" mode_is 3
check "the fold, by name and number" shows "mode     Mode = 3 (fold 3), was 1 (laptop)"
check "the fold's toggle shows in kqdwatch's session" slate_follows slate
check "the fold's slate line" shows "slate    SM_CONVERTIBLESLATEMODE = 0 (slate), was 1 (laptop)"
kqd_sc stop KQD >/dev/null
check "service stopped" kqd_wait_service_state KQD STOPPED 30
first_pid=$(events | sed -n 's/^service  KQD running (pid \([0-9]*\))$/\1/p' | head -1)

echo "# The mode store refused: the service says so on the debugger output"
check "HKLM\\SOFTWARE\\Tavmir made volatile" kqdtb mode-key-volatile
check "the deletion of the key is seen" shows "mode     key TarsiMode deleted"
kqd_sc start KQD >/dev/null
check "service running again" kqd_wait_service_state KQD RUNNING 30
pid=$(events | sed -n 's/^service  KQD running (pid \([0-9]*\))$/\1/p' | tail -1)
check "the service's own line, with its pid" shows "debug    pid $pid: <kqd>: faild to set KQD mode value."
kqd_sc stop KQD >/dev/null
check "service stopped again" kqd_wait_service_state KQD STOPPED 30
stops_seen() { [ "$(events | grep -c '^service  KQD stopped$')" -ge 2 ]; }
check "the stop is seen" wait_for 10 stops_seen

echo "# Ctrl+C"
unix_pid=$(kqd_unix_pid kqdwatch.exe)
check "the Wine process of kqdwatch.exe is found" test -n "$unix_pid"
kill -INT "$unix_pid"
wait "$watcher"
check_eq "Ctrl+C ends it with exit code 0" 0 $?
watcher=
check_eq "its broadcaster ended with it" 0 "$(announcers)"

check_eq "the service's states, in order" "$(printf '%s\n' \
  "KQD absent" "KQD created, stopped" \
  "KQD start pending (pid $first_pid)" "KQD running (pid $first_pid)" "KQD stop pending (pid $first_pid)" "KQD stopped" \
  "KQD start pending (pid $pid)" "KQD running (pid $pid)" "KQD stop pending (pid $pid)" "KQD stopped")" \
  "$(events | sed -n 's/^service  //p')"
check_eq "the stored mode's events, in order" "$(printf '%s\n' \
  "key TarsiMode absent" "key TarsiMode created" "Mode = 0 (unknown), created" "Mode = 1 (laptop), was 0 (unknown)" \
  "Mode = 3 (fold 3), was 1 (laptop)" "Mode deleted, was 3 (fold 3)" "key TarsiMode deleted")" \
  "$(events | sed -n 's/^mode     //p')"
check_eq "the slate state: at the start, then every change the double recorded, each once" \
  "$(slate_history)" "$(slate_values)"
check_eq "debug lines: only the service's \"<kqd>:\" lines" 0 \
  "$(events | grep '^debug ' | grep -cv "^debug    pid $pid: <kqd>:")"
check_eq "every line after the first carries hh:mm:ss.mmm" 0 \
  "$(tr -d '\r' <"$out/watch.txt" | tail -n +2 | grep -cv '^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\.[0-9]\{3\}  [a-z]')"
echo "--- kqdwatch printed:"
tr -d '\r' <"$out/watch.txt"
echo "--- kqdtb slate-announce broadcast:"
tr -d '\r' <"$out/announce.txt"
e2e_done

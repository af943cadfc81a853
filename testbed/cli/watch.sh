# usage: watch — run kqdwatch.exe in the prefix: one line per change of "Mode", of the service KQD's state, of the slate state and per "<kqd>:" debugger line, until Ctrl+C (in a script: kill -INT the kqdwatch.exe process, which Wine turns into CTRL_C_EVENT). With the slate-toggle double installed, kqdtb slate-announce broadcasts its changes meanwhile, as Windows does (its lines to $KQD_SLATE_ANNOUNCE_LOG when set)
kqd_wine_start_server || exit 1

kqd_watch_announcer=
kqd_watch_announce_log=
kqd_watch_stop_announcer() {
  if [ -n "$kqd_watch_announcer" ]; then
    kill -9 "$kqd_watch_announcer" 2>/dev/null
    wait "$kqd_watch_announcer" 2>/dev/null
    kqd_watch_announcer=
  fi
  [ -z "${KQD_SLATE_ANNOUNCE_LOG:-}" ] && [ -n "$kqd_watch_announce_log" ] && rm -f "$kqd_watch_announce_log"
}
# Ended with the script, however it ends: kqdwatch is waited for first.
trap 'kqd_watch_stop_announcer; exit 143' TERM
trap 'kqd_watch_stop_announcer; exit 129' HUP

# Nothing else broadcasts WM_SETTINGCHANGE "ConvertibleSlateMode" here. Ready before
# kqdwatch reads the state, so no change after that reading goes unannounced.
kqd_watch_announce() {
  kqd_wine "$KQD_BIN/kqdtb.exe" slate-present || return 0
  kqd_watch_announce_log=${KQD_SLATE_ANNOUNCE_LOG:-$(mktemp)}
  (kqd_wine_exec "$KQD_BIN/kqdtb.exe" slate-announce) >"$kqd_watch_announce_log" 2>&1 </dev/null &
  kqd_watch_announcer=$!
  wait_for 20 grep -q '^ready' "$kqd_watch_announce_log" && return 0
  echo "kqdtb watch: kqdtb slate-announce did not start; the slate state's changes go unannounced:" >&2
  tr -d '\r' <"$kqd_watch_announce_log" | sed 's/^/  /' >&2
  kqd_watch_stop_announcer
}

[ $# -eq 0 ] && kqd_watch_announce
kqd_wine "$KQD_BIN/kqdwatch.exe" "$@"
kqd_watch_rc=$?
kqd_watch_stop_announcer
exit "$kqd_watch_rc"

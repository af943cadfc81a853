# usage: reset — before a test: no service "KQD" and no mode key, no testbed process left running by an earlier test, and every double's failure plan, holds and records as freshly installed
kqd_wine_start_server || exit 1
# Long-running testbed commands (event holders and waiters, the slate-toggle
# indicator's holder, floods, monitors, the slate state's broadcaster) of this
# prefix: an earlier test's would act on this one.
for pid in $(ps -eo pid=,args= | awk '/kqdtb\.exe (mode-event-hold|mode-event-wait|slate-holder|sensor-flood|dbwin|slate-announce)/ {print $1}; /kqdtb_slowstop\.exe/ {print $1}'); do
  kqd_of_prefix "$pid" && kill -9 "$pid" 2>/dev/null
done
kqd_remove_kqd_service || exit 1
kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
rm -f "$WINEPREFIX/drive_c/kqdtb/rundll32/hold"
kqd_wine "$KQD_BIN/kqdtb.exe" doubles-reset >/dev/null || exit 1
echo "machine reset"

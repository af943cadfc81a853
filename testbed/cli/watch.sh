# usage: watch — run kqdwatch.exe in the prefix: one line per change of "Mode", of the service KQD's state and per "<kqd>:" debugger line, until Ctrl+C (in a script: kill -INT the kqdwatch.exe process, which Wine turns into CTRL_C_EVENT)
kqd_wine_start_server || exit 1
kqd_wine "$KQD_BIN/kqdwatch.exe" "$@"

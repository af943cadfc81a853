# usage: replace the prefix's rundll32.exe by one that logs each start to C:\kqdtb\rundll32\calls.log and waits while C:\kqdtb\rundll32\hold exists, then runs the DLL entry as rundll32 does
kqd_wine_start_server || exit 1
gate="$WINEPREFIX/drive_c/kqdtb/rundll32"
mkdir -p "$gate" && rm -f "$gate/calls.log" "$gate/hold"
[ -f "$KQD_SYSTEM32/rundll32.exe.kqdtb-orig" ] ||
  cp "$KQD_SYSTEM32/rundll32.exe" "$KQD_SYSTEM32/rundll32.exe.kqdtb-orig" || exit 1
cp "$KQD_BIN/kqdtb_rundll32.exe" "$KQD_SYSTEM32/rundll32.exe" || exit 1
# Wine prefers its builtin programs of the system directory unless told otherwise.
kqd_wine reg add 'HKCU\Software\Wine\DllOverrides' /v rundll32.exe /d native /f >/dev/null || exit 1
echo "installed the rundll32 gate (log C:\\kqdtb\\rundll32\\calls.log)"

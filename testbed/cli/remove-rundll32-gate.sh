# usage: give the prefix its own rundll32.exe back and release any held call
kqd_wine_start_server || exit 1
rm -f "$WINEPREFIX/drive_c/kqdtb/rundll32/hold"
if [ -f "$KQD_SYSTEM32/rundll32.exe.kqdtb-orig" ]; then
  mv -f "$KQD_SYSTEM32/rundll32.exe.kqdtb-orig" "$KQD_SYSTEM32/rundll32.exe" || exit 1
fi
kqd_wine reg delete 'HKCU\Software\Wine\DllOverrides' /v rundll32.exe /f >/dev/null 2>&1
echo "removed the rundll32 gate"

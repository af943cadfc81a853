# usage: remove the slate-toggle double: the cfgmgr32 overrides and double, the interface entries, driver KqdSlate
kqd_wine_start_server || exit 1
if [ -f "$KQD_BIN/kqdtb.exe" ]; then
  kqd_wine "$KQD_BIN/kqdtb.exe" slate-overrides off || exit 1
  kqd_wine "$KQD_BIN/kqdtb.exe" slate-interfaces absent || exit 1
fi
if [ -f "$KQD_SYSTEM32/cfgmgr32.dll.kqd-builtin" ]; then
  mv -f "$KQD_SYSTEM32/cfgmgr32.dll.kqd-builtin" "$KQD_SYSTEM32/cfgmgr32.dll" || exit 1
fi
if [ "$(kqd_service_state KqdSlate)" != ABSENT ]; then
  if [ "$(kqd_service_state KqdSlate)" != STOPPED ]; then
    kqd_sc stop KqdSlate >/dev/null 2>&1
    kqd_wait_service_state KqdSlate STOPPED 20 || exit 1
  fi
  kqd_sc delete KqdSlate >/dev/null || { echo "kqdtb: sc delete KqdSlate failed" >&2; exit 1; }
fi
rm -f "$KQD_SYSTEM32/drivers/kqdslate.sys"
echo "removed KqdSlate and the cfgmgr32 double"

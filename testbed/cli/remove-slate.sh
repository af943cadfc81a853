# usage: remove the slate-toggle double: the cfgmgr32 overrides and double, the interface entries, driver KqdSlate
kqd_wine_start_server || exit 1
if [ -f "$KQD_BIN/kqdtb.exe" ]; then
  kqd_wine "$KQD_BIN/kqdtb.exe" slate-overrides off || exit 1
  kqd_wine "$KQD_BIN/kqdtb.exe" slate-interfaces absent || exit 1
fi
if [ -f "$KQD_SYSTEM32/cfgmgr32.dll.kqd-builtin" ]; then
  mv -f "$KQD_SYSTEM32/cfgmgr32.dll.kqd-builtin" "$KQD_SYSTEM32/cfgmgr32.dll" || exit 1
fi
kqd_remove_kernel_driver KqdSlate kqdslate.sys || exit 1
echo "removed KqdSlate and the cfgmgr32 double"

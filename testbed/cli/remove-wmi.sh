# usage: give CLSID_WbemLocator back to the registration install-wmi remembered (Wine's wbemprox.dll)
kqd_wine_start_server || exit 1
kqd_wmi_key='HKLM\Software\Classes\CLSID\{4590F811-1D3A-11D0-891F-00AA004B2E24}\InprocServer32'
kqd_wmi_saved='HKLM\Software\KqdTestbed\WmiInstall'
server=$(kqd_reg_sz "$kqd_wmi_saved" /v InprocServer32)
model=$(kqd_reg_sz "$kqd_wmi_saved" /v ThreadingModel)
# Without a remembered value (never installed here): Wine's own default.
[ -n "$server" ] || server='C:\windows\system32\wbem\wbemprox.dll'
[ -n "$model" ] || model=Both
kqd_set_inproc_server "$kqd_wmi_key" "$server" "$model" ||
  { echo "kqdtb: restoring $server failed" >&2; exit 1; }
kqd_wine reg delete "$kqd_wmi_saved" /f >/dev/null 2>&1
kqd_wine "$KQD_BIN/kqdtb.exe" wmi-provider off >/dev/null 2>&1
rm -f "$KQD_SYSTEM32/kqdwbem.dll"
echo "removed kqdwbem.dll; CLSID_WbemLocator -> $server"

# usage: put the WMI double in place of Wine's WMI for the prefix (kqdwbem.dll as CLSID_WbemLocator, provider off; Wine's registration is remembered)
kqd_wine_start_server || exit 1
cp "$KQD_BIN/kqdwbem.dll" "$KQD_SYSTEM32/kqdwbem.dll" || exit 1
kqd_wmi_key='HKLM\Software\Classes\CLSID\{4590F811-1D3A-11D0-891F-00AA004B2E24}\InprocServer32'
kqd_wmi_saved='HKLM\Software\KqdTestbed\WmiInstall'
current=$(kqd_reg_sz "$kqd_wmi_key" /ve)
# A second install keeps what the first one remembered.
if [ -n "$current" ] && [ "$current" != 'C:\windows\system32\kqdwbem.dll' ]; then
  kqd_reg_write add "$kqd_wmi_saved" /v InprocServer32 /d "$current" /f &&
    kqd_reg_write add "$kqd_wmi_saved" /v ThreadingModel /d "$(kqd_reg_sz "$kqd_wmi_key" /v ThreadingModel)" /f ||
    { echo "kqdtb: remembering Wine's WbemLocator ($current) failed; CLSID_WbemLocator is unchanged" >&2; exit 1; }
fi
kqd_set_inproc_server "$kqd_wmi_key" 'C:\windows\system32\kqdwbem.dll' ||
  { echo "kqdtb: registering kqdwbem.dll failed" >&2; exit 1; }
kqd_wine "$KQD_BIN/kqdtb.exe" wmi-provider off || exit 1
echo "installed kqdwbem.dll -> CLSID_WbemLocator (provider off)"

# usage: [--start] [--service-binary "C:\path\x.exe ARGS"] — install the driver package's KQD part as device installation does: kqd.exe and the INF to system32, the INF as C:\windows\inf\oemN.inf, the service from [KQD_AddService] with "Owners" and the indirect "DisplayName"; prints oemN.inf
start=0
binary='C:\windows\system32\kqd.exe'  # a test may put a stand-in service in its place
while [ $# -gt 0 ]; do
  case "$1" in
    --start) start=1 ;;
    --service-binary) [ $# -ge 2 ] || exit 2; binary=$2; shift ;;
    *) echo "usage: kqdtb install-package [--start] [--service-binary CMDLINE]" >&2; exit 2 ;;
  esac
  shift
done
kqd_service_exe_ready || exit 1
kqd_wine_start_server || exit 1
kqd_remove_kqd_service || exit 1
oem=$(kqd_copy_oem_inf "$KQD_PACKAGE_INF") || exit 1
# The co-installer copy section: kqd.exe and the package INF into DIRID 11.
# A copy left by an earlier removal may carry a LocalSystem-only DACL: replace it.
kqd_remove_file_nocase "$KQD_SYSTEM32" kqddrv.inf
kqd_copy_service_exe && cp "$KQD_PACKAGE_INF" "$KQD_SYSTEM32/kqddrv.inf" || exit 1
# [KQD_AddService]: own process (0x10), automatic (2), error control normal (1), %11%\kqd.exe.
kqd_sc create KQD binPath= "$binary" type= own start= auto error= normal obj= LocalSystem \
  >/dev/null || { echo "kqdtb: sc create KQD failed" >&2; exit 1; }
# What device installation adds for a service of an INF: its owner and the indirect name.
key='HKLM\System\CurrentControlSet\Services\KQD'
kqd_wine reg add "$key" /v Owners /t REG_MULTI_SZ /d "$oem" /f >/dev/null &&
  kqd_wine reg add "$key" /v DisplayName /t REG_SZ /d "@$oem,%KQD.SvcDesc%;kqd" /f >/dev/null ||
  { echo "kqdtb: writing Owners/DisplayName failed" >&2; exit 1; }
if [ "$start" = 1 ]; then
  # AddService flag 0x800: started once installed.
  kqd_sc start KQD >/dev/null || { echo "kqdtb: sc start KQD failed" >&2; exit 1; }
  kqd_wait_service_state KQD RUNNING 30 || exit 1
fi
echo "$oem"

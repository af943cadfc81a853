# usage: install kqd.exe as the service "KQD" the way its driver package does (own process, auto start, LocalSystem)
kqd_wine_start_server || exit 1
kqd_copy_service_exe || exit 1
kqd_remove_kqd_service || exit 1
kqd_sc create KQD binPath= 'C:\windows\system32\kqd.exe' type= own start= auto obj= LocalSystem \
  DisplayName= "KQD Service" >/dev/null || { echo "kqdtb: sc create failed" >&2; exit 1; }
echo "installed KQD -> C:\\windows\\system32\\kqd.exe"

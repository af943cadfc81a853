# usage: stop and delete the service "KQD" and its executable, as removing the driver package does
kqd_wine_start_server || exit 1
if [ "$(kqd_service_state KQD)" != ABSENT ]; then
  kqd_sc stop KQD >/dev/null 2>&1
  kqd_wait_service_state KQD STOPPED 30 || exit 1
  kqd_sc delete KQD >/dev/null || exit 1
fi
rm -f "$KQD_SYSTEM32/kqd.exe"
echo "removed KQD"

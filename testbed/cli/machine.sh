# usage: machine [RELEASE] — make the prefix look like a running Windows machine: version keys for RELEASE (2009 default; 1809 older; win7 = no Windows 10 keys) and "Winmgmt" and "Schedule" running
release=${1:-2009}
kqd_wine_start_server || exit 1
key='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
case "$release" in
  win7)
    kqd_wine reg delete "$key" /v CurrentMajorVersionNumber /f >/dev/null 2>&1
    kqd_wine reg delete "$key" /v ReleaseId /f >/dev/null 2>&1 ;;
  *[!0-9]* | "")
    echo "kqdtb machine: release is a number such as 2009, or win7" >&2; exit 2 ;;
  *)
    kqd_reg_write add "$key" /v CurrentMajorVersionNumber /t REG_DWORD /d 10 /f || exit 1
    kqd_reg_write add "$key" /v ReleaseId /t REG_SZ /d "$release" /f || exit 1 ;;
esac
# On Windows both run; Wine has them as demand-start services, stopped.
for service in winmgmt Schedule; do
  [ "$(kqd_service_state "$service")" = RUNNING ] || kqd_sc start "$service" >/dev/null 2>&1
  kqd_wait_service_state "$service" RUNNING 20 || exit 1
done
echo "machine: release $release, Winmgmt and Schedule running"

# usage: stop and delete the energy-management driver double (kernel service KqdPwrAux) and its file
kqd_wine_start_server || exit 1
if [ "$(kqd_service_state KqdPwrAux)" != ABSENT ]; then
  if [ "$(kqd_service_state KqdPwrAux)" != STOPPED ]; then
    kqd_sc stop KqdPwrAux >/dev/null 2>&1
    kqd_wait_service_state KqdPwrAux STOPPED 20 || exit 1
  fi
  kqd_sc delete KqdPwrAux >/dev/null || { echo "kqdtb: sc delete KqdPwrAux failed" >&2; exit 1; }
fi
rm -f "$KQD_SYSTEM32/drivers/kqdpwraux.sys"
echo "removed KqdPwrAux"

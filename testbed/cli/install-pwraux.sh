# usage: install the energy-management driver double "\\.\PwrAuxDrv" (kernel service KqdPwrAux) and wait until it answers
kqd_wine_start_server || exit 1
. "$KQD_TESTBED/cli/remove-pwraux.sh" >/dev/null || exit 1
mkdir -p "$KQD_SYSTEM32/drivers"
cp "$KQD_BIN/kqdpwraux.sys" "$KQD_SYSTEM32/drivers/kqdpwraux.sys" || exit 1
kqd_sc create KqdPwrAux binPath= 'C:\windows\system32\drivers\kqdpwraux.sys' type= kernel start= demand \
  >/dev/null || { echo "kqdtb: sc create KqdPwrAux failed" >&2; exit 1; }
kqd_sc start KqdPwrAux >/dev/null || { echo "kqdtb: sc start KqdPwrAux failed" >&2; exit 1; }
kqd_wait_service_state KqdPwrAux RUNNING 20 || exit 1
# The device link appears when DriverEntry has run; poll for it with a limit.
for ((kqd_try = 0; kqd_try < 100; kqd_try++)); do
  kqd_wine "$KQD_BIN/kqdtb.exe" pwraux-present && break
  sleep 0.1
done
kqd_wine "$KQD_BIN/kqdtb.exe" pwraux-present || { echo "kqdtb: \\\\.\\PwrAuxDrv did not appear" >&2; exit 1; }
echo "installed KqdPwrAux -> \\\\.\\PwrAuxDrv"

# usage: [EXE...] install the powrprof double for EXE... (default: kqd.exe and the double's own test, power_double_test.exe); then display-off|display-on|display-dim reach the service
#
# The route is the cfgmgr32 double's (see install-slate.sh): the double goes over
# Wine's placeholder in system32 (kept once, put back on removal), and
# HKCU\Software\Wine\AppDefaults\<exe>\DllOverrides "powrprof" = "native,builtin"
# turns it on for the named executables only. No Wine builtin module imports
# powrprof, so nothing else in those processes changes.
kqd_wine_start_server || exit 1

kqd_power_exes=("$@")
for kqd_power_exe in "${kqd_power_exes[@]}"; do
  case "$kqd_power_exe" in -*) echo "kqdtb install-power: unknown option $kqd_power_exe" >&2; exit 2 ;; esac
done
# Not every executable importing powrprof: the component tests of the service
# framework must keep Wine's, whose registrations go nowhere.
[ ${#kqd_power_exes[@]} -eq 0 ] && kqd_power_exes=(kqd.exe power_double_test.exe)
for kqd_f in "$KQD_BIN/doubles/powrprof.dll" "$KQD_BIN/kqdtb.exe"; do
  [ -f "$kqd_f" ] || { echo "kqdtb install-power: $kqd_f is not built" >&2; exit 1; }
done

. "$KQD_TESTBED/cli/remove-power.sh" >/dev/null || exit 1

# Keep Wine's placeholder once, so that removal can put it back.
if grep -qaF 'Wine builtin DLL' "$KQD_SYSTEM32/powrprof.dll" 2>/dev/null; then
  cp "$KQD_SYSTEM32/powrprof.dll" "$KQD_SYSTEM32/powrprof.dll.kqd-builtin" || exit 1
fi
cp "$KQD_BIN/doubles/powrprof.dll" "$KQD_SYSTEM32/powrprof.dll" || exit 1
kqd_wine "$KQD_BIN/kqdtb.exe" power-overrides on "${kqd_power_exes[@]}" || exit 1
kqd_wine "$KQD_BIN/kqdtb.exe" power-clear || exit 1
echo "installed the powrprof double for: ${kqd_power_exes[*]}"

# usage: [--interfaces both|first|second|reversed|none] [EXE...] install the slate-toggle double: driver KqdSlate, its interfaces and the cfgmgr32 double for EXE... (default: kqd.exe, kqdtb.exe, each bin/*.exe importing cfgmgr32)
#
# How the cfgmgr32 double reaches a process (verified on Wine 8.0, Debian 12):
# - Wine 8's own cfgmgr32 returns CR_FAILURE from CM_Get_Device_Interface_List_SizeW
#   and aborts the process in CM_Get_Device_Interface_ListW, so the double replaces it.
# - The prefix's system32\cfgmgr32.dll is only a placeholder marked "Wine builtin DLL";
#   copying the double over it changes nothing by itself: with the default load
#   order Wine still loads its builtin for every process.
# - HKCU\Software\Wine\AppDefaults\<exe file name>\DllOverrides "cfgmgr32" =
#   "native,builtin" makes that executable (and only it) load the system32 file.
#   "native,builtin" rather than "native": should the file be the placeholder again,
#   the process still starts. The name is matched without a path, so it covers
#   kqd.exe in system32 and the test executables in the build's bin/ alike.
# - Services: Wine gives a LocalSystem service the same user and the same HKCU as
#   every other process of the prefix (checked with a service started by sc that
#   read an HKCU value and loaded the double), so the AppDefaults entry of kqd.exe
#   applies to the service too.
# - No Wine builtin module imports cfgmgr32 (only kqd.exe and testbed programs do),
#   and the double forwards to setupapi every function that Wine's cfgmgr32 forwards
#   there, so nothing else in those processes changes. Wine's remaining cfgmgr32
#   exports are stubs that abort when called; the double leaves them out.
#
# The interface list: Wine's setupapi enumerates DeviceClasses\{class} in key order
# (the registry keeps subkeys sorted by name) and takes a path from each key's
# DeviceInstance, lower-cased. Keys named the Windows way sort by instance, so the
# order is controlled by which instances are linked: "reversed" links 0001 (device 1)
# and 0002 (a second name of device 0).
kqd_wine_start_server || exit 1

kqd_slate_set=both
kqd_slate_exes=()
while [ $# -gt 0 ]; do
  case "$1" in
    --interfaces) kqd_slate_set=${2:-}; shift 2 || { echo "kqdtb: --interfaces needs a value" >&2; exit 2; } ;;
    --interfaces=*) kqd_slate_set=${1#--interfaces=}; shift ;;
    -*) echo "kqdtb install-slate: unknown option $1" >&2; exit 2 ;;
    *) kqd_slate_exes+=("$1"); shift ;;
  esac
done
case "$kqd_slate_set" in
  both|first|second|reversed|none) ;;
  *) echo "kqdtb install-slate: --interfaces takes both, first, second, reversed or none" >&2; exit 2 ;;
esac
if [ ${#kqd_slate_exes[@]} -eq 0 ]; then
  kqd_slate_exes=(kqd.exe kqdtb.exe)
  for kqd_exe in "$KQD_BIN"/*.exe; do
    [ -f "$kqd_exe" ] || continue
    grep -qaiF 'cfgmgr32.dll' "$kqd_exe" && kqd_slate_exes+=("$(basename "$kqd_exe")")
  done
fi
for kqd_f in "$KQD_BIN/kqdslate.sys" "$KQD_BIN/doubles/cfgmgr32.dll" "$KQD_BIN/kqdtb.exe"; do
  [ -f "$kqd_f" ] || { echo "kqdtb install-slate: $kqd_f is not built" >&2; exit 1; }
done

. "$KQD_TESTBED/cli/remove-slate.sh" >/dev/null || exit 1

kqd_install_kernel_driver KqdSlate kqdslate.sys slate-present || exit 1

kqd_wine "$KQD_BIN/kqdtb.exe" slate-interfaces "$kqd_slate_set" || exit 1

# Keep Wine's placeholder once, so that removal can put it back.
if grep -qaF 'Wine builtin DLL' "$KQD_SYSTEM32/cfgmgr32.dll" 2>/dev/null; then
  cp "$KQD_SYSTEM32/cfgmgr32.dll" "$KQD_SYSTEM32/cfgmgr32.dll.kqd-builtin" || exit 1
fi
cp "$KQD_BIN/doubles/cfgmgr32.dll" "$KQD_SYSTEM32/cfgmgr32.dll" || exit 1
kqd_wine "$KQD_BIN/kqdtb.exe" slate-overrides on "${kqd_slate_exes[@]}" || exit 1

# kqdtb.exe is one of the executables only when the caller named no others.
if [[ " ${kqd_slate_exes[*]} " == *" kqdtb.exe "* ]]; then
  kqd_wine "$KQD_BIN/kqdtb.exe" slate-list >/dev/null || { echo "kqdtb: the cfgmgr32 double does not load" >&2; exit 1; }
fi
echo "installed KqdSlate (interfaces: $kqd_slate_set), cfgmgr32 double for: ${kqd_slate_exes[*]}"

# Shared by the kqdtb script commands: the build's prefix, the harness, and small helpers.
export KQD_WINEPREFIX="${KQD_WINEPREFIX:-$KQD_BUILD/wine}"
. "$KQD_TESTBED/wine/harness.sh"
KQD_BIN="$KQD_BUILD/bin"
KQD_SYSTEM32="$(kqd_wine_path)"

# The kqd.exe that the testbed installs as the service and runs from a console:
# by default the release package's (make package), so that what the scenarios
# prove is what ships; a run of another build names its kqd.exe, an absolute Unix
# path, in the environment instead. Nothing else names an executable to install.
if [ -n "${KQD_SERVICE_EXE:-}" ]; then
  kqd_service_exe_packaged=0
else
  kqd_service_exe_packaged=1
  KQD_SERVICE_EXE="$(cd "$KQD_TESTBED/.." && pwd)/build/package/kqd-$("$KQD_TESTBED/../scripts/kqd-version.sh")/kqd.exe"
fi

# Fails, naming make package, when the packaged kqd.exe is missing or older than a
# source of it (a build after the last make package would go untested).
kqd_service_exe_ready() {
  # Scenarios run from other directories: a relative path would name another file.
  [[ $KQD_SERVICE_EXE == /* ]] ||
    { echo "kqdtb: KQD_SERVICE_EXE must be an absolute path, not $KQD_SERVICE_EXE" >&2; return 1; }
  if [ "$kqd_service_exe_packaged" = 0 ]; then
    [ -f "$KQD_SERVICE_EXE" ] && return 0
    echo "kqdtb: no kqd.exe at $KQD_SERVICE_EXE, as KQD_SERVICE_EXE names it" >&2; return 1
  fi
  [ -f "$KQD_SERVICE_EXE" ] ||
    { echo "kqdtb: no kqd.exe at $KQD_SERVICE_EXE (run make package)" >&2; return 1; }
  local src newer
  src=$(cd "$KQD_TESTBED/.." && pwd)
  newer=$(find "$src/src" "$src/cmake" "$src/CMakeLists.txt" -newer "$KQD_SERVICE_EXE" -type f -print -quit)
  [ -z "$newer" ] ||
    { echo "kqdtb: $KQD_SERVICE_EXE is older than ${newer#"$src/"} (run make package)" >&2; return 1; }
}

# Copies KQD_SERVICE_EXE to C:\windows\system32\kqd.exe.
kqd_copy_service_exe() {
  kqd_service_exe_ready && cp "$KQD_SERVICE_EXE" "$KQD_SYSTEM32/kqd.exe"
}

kqd_sc() { kqd_wine sc "$@"; }

# The REG_SZ data of a registry value: KEY (/ve | /v NAME); empty when absent.
kqd_reg_sz() { kqd_wine reg query "$1" "${@:2}" 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p' | head -1; }

# A registry write through reg.exe that must not fail quietly: on failure its exit
# code and everything it and Wine printed (reg.exe reports errors on standard
# output) go to standard error.
kqd_reg_write() { # reg ARGUMENTS...
  local out rc
  out=$(kqd_wine_run reg "$@" 2>&1 </dev/null)
  rc=$?
  [ "$rc" -eq 0 ] && return 0
  printf 'kqdtb: reg %s failed with exit code %s:\n%s\n' "$*" "$rc" "$(tr -d '\r' <<<"$out" | sed 's/^/  /')" >&2
  return 1
}

# Points a CLSID's InprocServer32 KEY at a DLL: KEY PATH [THREADING-MODEL (default Both)]
kqd_set_inproc_server() {
  kqd_reg_write add "$1" /ve /d "$2" /f && kqd_reg_write add "$1" /v ThreadingModel /d "${3:-Both}" /f
}

# The state name sc reports for a service ("RUNNING", "STOPPED", ...), or "ABSENT".
kqd_service_state() {
  local out
  out=$(kqd_wine sc query "$1" 2>/dev/null) || { echo ABSENT; return; }
  printf '%s\n' "$out" | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' | head -1
}

# Polls until the service reaches the state, up to $3 seconds (default 20).
kqd_wait_service_state() {
  local name=$1 want=$2 limit=${3:-20} i
  for ((i = 0; i < limit * 10; i++)); do
    [ "$(kqd_service_state "$name")" = "$want" ] && return 0
    sleep 0.1
  done
  echo "kqdtb: $name did not reach $want (now $(kqd_service_state "$name"))" >&2
  return 1
}

# Loads a kernel-driver double: SERVICE FILE.sys PRESENCE-COMMAND (a kqdtb.exe command
# that succeeds once the driver's device answers). The caller removes a stale one first.
kqd_install_kernel_driver() {
  local service=$1 file=$2 present=$3 i
  mkdir -p "$KQD_SYSTEM32/drivers"
  cp "$KQD_BIN/$file" "$KQD_SYSTEM32/drivers/$file" || return 1
  kqd_sc create "$service" binPath= "C:\\windows\\system32\\drivers\\$file" type= kernel start= demand \
    >/dev/null || { echo "kqdtb: sc create $service failed" >&2; return 1; }
  kqd_sc start "$service" >/dev/null || { echo "kqdtb: sc start $service failed" >&2; return 1; }
  kqd_wait_service_state "$service" RUNNING 20 || return 1
  # The device appears when DriverEntry has run; poll for it with a limit.
  for ((i = 0; i < 100; i++)); do
    kqd_wine "$KQD_BIN/kqdtb.exe" "$present" && return 0
    sleep 0.1
  done
  echo "kqdtb: the device of $service did not appear" >&2
  return 1
}

# Stops and deletes a kernel-driver double and its file: SERVICE FILE.sys
kqd_remove_kernel_driver() {
  local service=$1 file=$2
  if [ "$(kqd_service_state "$service")" != ABSENT ]; then
    if [ "$(kqd_service_state "$service")" != STOPPED ]; then
      kqd_sc stop "$service" >/dev/null 2>&1
      kqd_wait_service_state "$service" STOPPED 20 || return 1
    fi
    kqd_sc delete "$service" >/dev/null || { echo "kqdtb: sc delete $service failed" >&2; return 1; }
  fi
  rm -f "$KQD_SYSTEM32/drivers/$file"
}

# The powrprof double, for the service process: display-off|on|dim reach its handler.
kqd_power_double_present() {
  grep -qaF KqdPowrprofDouble "$KQD_SYSTEM32/powrprof.dll" 2>/dev/null &&
    [ "$(kqd_reg_sz 'HKCU\Software\Wine\AppDefaults\kqd.exe\DllOverrides' /v powrprof)" = native,builtin ]
}

# The machine bring-up runs each step as STEP DESCRIPTION COMMAND..., so that its
# caller reports the step and decides what a failure does; it stops at the first
# that fails. A double found present stays (ctest's fixtures install the kernel and
# powrprof doubles); those installed here are named in kqd_machine_installed, for
# the caller's clean-up.
kqd_machine_installed=()
kqd_machine_need() { # STEP NAME DESCRIPTION PRESENCE-COMMAND...
  local step=$1 name=$2 what=$3
  shift 3
  "$@" >/dev/null 2>&1 && return 0
  "$step" "$what" "$KQD_TESTBED/kqdtb" "install-$name" || return 1
  kqd_machine_installed+=("$name")
}
# The emulated convertible from a known state, whatever ran before: the machine reset,
# Windows 10 RELEASE with Winmgmt and Schedule running, the three driver doubles, the
# powrprof double (so every start is told the current power settings, as on Windows),
# the COM doubles for WMI and the Sensor API, then each EXTRA double (taskschd).
kqd_machine_up() { # STEP RELEASE [EXTRA...]
  local step=$1 release=$2 tb="$KQD_TESTBED/kqdtb" double
  shift 2
  "$step" "the machine reset" "$tb" reset || return 1
  "$step" "the machine runs Windows 10 $release" "$tb" machine "$release" || return 1
  for double in pwraux slate davodira; do
    kqd_machine_need "$step" "$double" "$double double installed" "$tb" "$double-present" || return 1
  done
  kqd_machine_need "$step" power "powrprof double installed" kqd_power_double_present || return 1
  "$step" "WMI double" "$tb" install-wmi || return 1
  "$step" "Sensor API double" "$tb" install-sensors || return 1
  for double in "$@"; do
    "$step" "$double double" "$tb" "install-$double" || return 1
  done
}

# The driver package: its INF in the source tree, and the prefix's INF directory.
KQD_PACKAGE_INF="$KQD_TESTBED/../src/setup/kqddrv.inf"
KQD_INF_DIR="$WINEPREFIX/drive_c/windows/inf"

# Windows names match without regard to case; the prefix's files do not: DIR NAME
kqd_remove_file_nocase() { find "$1" -maxdepth 1 -type f -iname "$2" -delete; }

# Stops and deletes the service "KQD" when it exists.
kqd_remove_kqd_service() {
  [ "$(kqd_service_state KQD)" = ABSENT ] && return 0
  kqd_sc stop KQD >/dev/null 2>&1
  kqd_wait_service_state KQD STOPPED 30 >/dev/null 2>&1
  kqd_sc delete KQD >/dev/null || { echo "kqdtb: sc delete KQD failed" >&2; return 1; }
}

# Copies an INF into the INF directory as SetupCopyOEMInf does: an identical oemN.inf
# is reused, otherwise the first free number is taken. Prints the name.
kqd_copy_oem_inf() {
  local inf=$1 f n=0
  mkdir -p "$KQD_INF_DIR"
  while IFS= read -r f; do
    cmp -s "$f" "$inf" && { basename "$f"; return 0; }
  done < <(find "$KQD_INF_DIR" -maxdepth 1 -type f -iname 'oem*.inf' | sort)
  while [ -n "$(find "$KQD_INF_DIR" -maxdepth 1 -iname "oem$n.inf")" ]; do n=$((n + 1)); done
  cp "$inf" "$KQD_INF_DIR/oem$n.inf" || return 1
  echo "oem$n.inf"
}

# The oemN.inf that holds the package INF, or a failure when none does.
kqd_installed_oem_inf() {
  local f
  while IFS= read -r f; do
    cmp -s "$f" "$KQD_PACKAGE_INF" && { basename "$f"; return 0; }
  done < <(find "$KQD_INF_DIR" -maxdepth 1 -type f -iname 'oem*.inf' | sort)
  return 1
}

# "A B": hinge angles of a posture in each mode, as the G-sensor double's "Val6"
# and "Val5" (sensor-angles A B).
kqd_mode_angles() {
  case "$1" in 1) echo "120 90" ;; 2) echo "355 90" ;; 3) echo "270 100" ;; 4) echo "270 260" ;; *) return 1 ;; esac
}

# Whether the Unix process $1 belongs to this prefix (other prefixes on the machine
# run their own). An image run from outside the prefix (build/windows/bin) maps
# nothing of it: its WINEPREFIX tells.
kqd_of_prefix() {
  local prefix env
  prefix=$(realpath "$KQD_WINEPREFIX")
  grep -qF "$prefix/" "/proc/$1/maps" 2>/dev/null && return 0
  env=$(tr '\0' '\n' <"/proc/$1/environ" 2>/dev/null | sed -n 's/^WINEPREFIX=//p')
  [ -n "$env" ] && [ "$(realpath "$env" 2>/dev/null)" = "$prefix" ]
}

# The Unix process of this prefix running the Windows image $1 (Wine's threads are
# its Linux tasks); fails when there is none.
kqd_unix_pid() {
  local pid
  for pid in $(ps -eo pid=,stat=,comm= | awk -v n="$1" '$3 == n && $2 !~ /^Z/ {print $1}'); do
    kqd_of_prefix "$pid" && { echo "$pid"; return 0; }
  done
  return 1
}

# The mode sources' table as kqdtb.exe sources prints it, read once per shell.
kqd_source_table() {
  [ -n "${kqd_source_rows:-}" ] && return 0
  kqd_source_rows=$(kqd_wine "$KQD_BIN/kqdtb.exe" sources | tr -d '\r')
  [ -n "$kqd_source_rows" ] || { echo "kqdtb: kqdtb.exe sources listed nothing" >&2; return 1; }
}
# The mode sources' names in the service's order of preference, one a line; with a
# switch of the table (slate_sync, posture_code, raw_mode), those that have it on.
kqd_sources() { # [SWITCH]
  kqd_source_table || return 1
  awk -v col="${1:-}" 'NR == 1 {for (i = 1; i <= NF; i++) at[$i] = i; if (col != "" && !(col in at)) exit 2; next}
    col == "" || $at[col] == 1 {print $1}' <<<"$kqd_source_rows"
}
kqd_is_source() { kqd_source_table && kqd_sources | grep -qxF -- "$1"; }
# A source's publication delay in ms (its debounce or burst window; 0 at once).
kqd_source_delay_ms() { # SOURCE
  kqd_source_table && awk -v s="$1" 'NR > 1 && $1 == s {print $3; found = 1} END {exit !found}' <<<"$kqd_source_rows"
}

# Polls a command for up to $1 seconds.
wait_for() {
  local limit=$1 i; shift
  for ((i = 0; i < limit * 20; i++)); do "$@" && return 0; sleep 0.05; done
  return 1
}

# One posture through SOURCE's double: hinge angles in one report (sensor); the
# provider's mode and one event (wmi); the driver's answer and a "Type2" flip (driver).
kqd_fold() { # SOURCE MODE
  local tb="$KQD_BIN/kqdtb.exe"
  case "$1" in
    sensor) kqd_wine "$tb" sensor-angles $(kqd_mode_angles "$2") >/dev/null ;;
    wmi) kqd_wine "$tb" wmi-mode "$2" >/dev/null && kqd_wine "$tb" wmi-fire >/dev/null ;;
    driver) kqd_wine "$tb" driver-mode "$2" >/dev/null ;;
    *) return 2 ;;
  esac
}
kqd_stored_mode_is() { [ "$(stored_mode)" = "$1" ]; }
# The machine's slate state, "laptop" or "slate", as the slate-toggle double shows it now.
kqd_slate_state() { kqd_wine "$KQD_BIN/kqdtb.exe" slate-state | tr -d '\r'; }
kqd_slate_state_is() { [ "$(kqd_slate_state)" = "$1" ]; }
# Folds again until "Mode" follows, up to five times 2 s: the driver's watch takes
# "Type2" as it finds it when it starts, so a flip landing before that cancels out.
kqd_fold_until() { # SOURCE MODE
  local attempt
  for attempt in 1 2 3 4 5; do
    kqd_fold "$1" "$2"
    wait_for 2 kqd_stored_mode_is "$2" && return 0
  done
  return 1
}

# The stored "Mode" in decimal; empty when absent.
stored_mode() {
  kqd_wine reg query 'HKLM\SOFTWARE\Tavmir\TarsiMode' /v Mode 2>/dev/null | tr -d '\r' |
    awk '$1 == "Mode" {print $3}' | { read -r v && echo $((v)); }
}

# The third fields of the energy-management driver's requests since the last clear, as "9 1".
pwraux_fields() {
  local ms code bytes outcome out=() b
  while IFS=$'\t' read -r ms code bytes outcome; do
    read -ra b <<<"$bytes"
    [ "${#b[@]}" -eq 12 ] && out+=("$((16#${b[11]}${b[10]}${b[9]}${b[8]}))")
  done < <(kqd_wine "$KQD_BIN/kqdtb.exe" pwraux-read 2>/dev/null | tr -d '\r')
  echo "${out[*]}"
}

#!/usr/bin/env bash
# Stages the release package in one folder (the target kqd_package runs this):
#   package-stage.sh --out DIR --version V --inf INF --source DIR --build DIR
#     --objcopy P --strip P --objdump P --windres P --gdb P EXE...
# Each EXE goes in stripped, importing Windows system DLLs only, with its symbols
# as EXE.debug, which its .gnu_debuglink names and a debugger finds; neither names
# the source or build directory; the PE time stamp is 0 or SOURCE_DATE_EPOCH and
# the checksum 0 or the image's own. kqd.exe must carry INF byte for byte as
# RCDATA 129 and the version resource of V; the INF goes in beside it, and
# SHA256SUMS lists every other file. Everything is written into a temporary folder
# beside DIR and renamed to DIR at the end, so DIR is either whole or absent. A
# failure names its step and exits non-zero.
set -euo pipefail

out= version= inf= objcopy= strip= objdump= windres= gdb= source= build=
exes=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out | --version | --inf | --objcopy | --strip | --objdump | --windres | --gdb | --source | --build)
      [ $# -ge 2 ] || { echo "package-stage: $1 needs a value" >&2; exit 2; }
      declare "${1#--}=$2"; shift 2 ;;
    -*) echo "package-stage: unknown option $1" >&2; exit 2 ;;
    *) exes+=("$1"); shift ;;
  esac
done
for v in out version inf objcopy strip objdump windres gdb source build; do
  [ -n "${!v}" ] || { echo "package-stage: --$v is required" >&2; exit 2; }
done
[ ${#exes[@]} -gt 0 ] || { echo "package-stage: no executable given" >&2; exit 2; }

SOURCE_DATE_EPOCH=$("$(dirname "$0")/source-date-epoch.sh")
export SOURCE_DATE_EPOCH

step=setup
fail() { echo "package: step \"$step\" failed: $*" >&2; exit 1; }
tmp="$(dirname "$out")/.$(basename "$out").partial"
trap 'rm -rf "$tmp" "$tmp.res" "$tmp.link" "$tmp.link.exe"' EXIT
rm -rf "$out" "$tmp"
mkdir -p "$tmp"

# The DLLs that every Windows installation has: a MinGW runtime DLL (libstdc++,
# libgcc, winpthread) or any other would not be there on the convertible.
system_dlls=" advapi32.dll bcrypt.dll cfgmgr32.dll comctl32.dll crypt32.dll dbghelp.dll gdi32.dll
  kernel32.dll msvcrt.dll ntdll.dll ole32.dll oleaut32.dll powrprof.dll psapi.dll rpcrt4.dll
  secur32.dll setupapi.dll shell32.dll shlwapi.dll taskschd.dll user32.dll userenv.dll
  version.dll wevtapi.dll wintrust.dll ws2_32.dll wtsapi32.dll "

u16() { od -An -tu2 -j"$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }

check_imports() { # EXE
  local dll bad=() n=0
  while read -r dll; do
    n=$((n + 1))
    [[ $system_dlls == *" ${dll,,} "* || ${dll,,} == api-ms-win-*.dll ]] || bad+=("$dll")
  done < <("$(dirname "$0")/pe-imports.sh" "$objdump" "$1")
  [ "$n" -gt 0 ] || fail "$(basename "$1"): no import table found"
  [ ${#bad[@]} -eq 0 ] || fail "$(basename "$1") imports non-system DLLs: ${bad[*]}"
}

# The PE checksum of a file: its 16-bit words added with end-around carry, the
# checksum field itself counted as 0, plus the file's length.
pe_checksum() { # FILE PE-OFFSET
  od -An -v -tu2 "$1" | awk -v skip=$((($2 + 88) / 2)) -v size="$(stat -c %s "$1")" '
    { for (i = 1; i <= NF; i++) { if (n != skip && n != skip + 1) { s += $i; s = s % 65536 + int(s / 65536) } n++ } }
    END { s = s % 65536 + int(s / 65536); print s + size }'
}

# The COFF header's TimeDateStamp: 0 from the linker, SOURCE_DATE_EPOCH where
# objcopy rewrote the image; the optional header's CheckSum (PE32+): 0, or the
# image's own, so a function of its bytes.
check_pe_header() { # EXE
  local pe stamp sum
  pe=$(u32 "$1" 60)
  [ "$(u32 "$1" "$pe")" = 17744 ] || fail "$(basename "$1") is no PE image" # "PE\0\0"
  [ "$(u16 "$1" $((pe + 24)))" = 523 ] || fail "$(basename "$1") is no PE32+ image"
  stamp=$(u32 "$1" $((pe + 8)))
  [ "$stamp" = 0 ] || [ "$stamp" = "$SOURCE_DATE_EPOCH" ] ||
    fail "$(basename "$1"): the PE time stamp is $stamp, neither 0 nor SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH"
  sum=$(u32 "$1" $((pe + 88)))
  [ "$sum" = 0 ] || [ "$sum" = "$(pe_checksum "$1" "$pe")" ] ||
    fail "$(basename "$1"): the PE checksum $sum is not the image's ($(pe_checksum "$1" "$pe"))"
}

# The .gnu_debuglink section: the file name, NUL, padding to 4, then the CRC-32 of
# that file; a debugger finds the symbols beside the executable by both.
check_debuglink() { # EXE DEBUGFILE
  local link="$tmp.link" name crc want
  "$objcopy" --dump-section .gnu_debuglink="$link" "$1" "$link.exe" 2>/dev/null ||
    fail "$(basename "$1") has no .gnu_debuglink"
  name=$(tr '\0' '\n' <"$link" | sed -n 1p)
  [ "$name" = "$(basename "$2")" ] || fail "$(basename "$1") links \"$name\", not $(basename "$2")"
  crc=$(tail -c 4 "$link" | od -An -tx4 | tr -d ' ')
  # gzip's trailer begins with the CRC-32 of its input, little-endian.
  want=$(gzip -c <"$2" | tail -c 8 | od -An -N4 -tx4 | tr -d ' ')
  [ "$crc" = "$want" ] || fail "$(basename "$1"): the debuglink CRC $crc is not that of $(basename "$2") ($want)"
  rm -f "$link" "$link.exe"
}

# The data of one resource (TYPE and NAME numbers) from a .res file: entries of
# DataSize, HeaderSize, TYPE, NAME, ..., each 4-byte aligned; a name or type that
# is a string has no 0xFFFF in front.
extract_resource() { # RES TYPE NAME OUT
  local res=$1 at=0 size data header found=0
  size=$(stat -c %s "$res")
  while [ "$at" -lt "$size" ]; do
    data=$(u32 "$res" "$at"); header=$(u32 "$res" $((at + 4)))
    [ "$header" -ge 32 ] || fail "the resources of kqd.exe cannot be read at byte $at"
    if [ "$(u16 "$res" $((at + 8)))" = 65535 ] && [ "$(u16 "$res" $((at + 10)))" = "$2" ] &&
      [ "$(u16 "$res" $((at + 12)))" = 65535 ] && [ "$(u16 "$res" $((at + 14)))" = "$3" ]; then
      found=$((found + 1))
      tail -c +$((at + header + 1)) "$res" | head -c "$data" >"$4"
    fi
    at=$(((at + header + data + 3) / 4 * 4))
  done
  [ "$found" = 1 ] || fail "kqd.exe has $found resources of type $2 named $3, not one"
}

for exe in "${exes[@]}"; do
  name=$(basename "$exe")
  step="symbols of $name"
  "$objcopy" --only-keep-debug "$exe" "$tmp/$name.debug" || fail "objcopy --only-keep-debug"
  grep -q '[[:space:]]\.debug_info[[:space:]]' <<<"$("$objdump" -h "$tmp/$name.debug")" ||
    fail "$name was built without debug information"

  step="strip $name"
  "$strip" --strip-all -o "$tmp/$name" "$exe" || fail "strip"
  ! grep -q '[[:space:]]\.debug_' <<<"$("$objdump" -h "$tmp/$name")" || fail "debug sections are left in $name"

  step="debuglink of $name"
  (cd "$tmp" && "$objcopy" --add-gnu-debuglink="$name.debug" "$name") || fail "objcopy --add-gnu-debuglink"
  check_debuglink "$tmp/$name" "$tmp/$name.debug"
  # The stripped image has no line table of its own: gdb answers from the .debug.
  grep -q '\./src/' <<<"$(cd "$tmp" && "$gdb" -nx -batch -ex 'info sources' "$name" 2>&1)" ||
    fail "gdb finds no source of $name through its .gnu_debuglink"

  step="build paths in $name"
  for f in "$tmp/$name" "$tmp/$name.debug"; do
    for dir in "$source/src" "$build/src"; do
      ! grep -qaF "$dir" "$f" || fail "$(basename "$f") names $dir"
    done
  done

  step="imports of $name"
  check_imports "$tmp/$name"

  step="PE header of $name"
  check_pe_header "$tmp/$name"
done

[ -f "$tmp/kqd.exe" ] || { step="kqd.exe"; fail "kqd.exe is not among the executables"; }
step="resources of kqd.exe"
"$windres" -i "$tmp/kqd.exe" -J coff -O res -o "$tmp.res" || fail "windres cannot read the resources"
step="embedded INF (RCDATA 129)"
extract_resource "$tmp.res" 10 129 "$tmp/kqddrv.inf"
cmp -s "$tmp/kqddrv.inf" "$inf" || fail "RCDATA 129 of kqd.exe differs from $inf"

step="version resource of kqd.exe"
rc=$("$windres" -i "$tmp/kqd.exe" -J coff -O rc | tr -d '\r') || fail "windres cannot list the resources"
for line in "FILEVERSION ${version//./, }, 0" "PRODUCTVERSION ${version//./, }, 0" \
  "VALUE \"FileVersion\", \"$version.0\"" "VALUE \"ProductVersion\", \"$version\"" \
  'VALUE "ProductName", "KQD"' 'VALUE "InternalName", "kqd.exe"' 'VALUE "OriginalFilename", "kqd.exe"'; do
  grep -qF "$line" <<<"$rc" || fail "kqd.exe's VERSIONINFO lacks: $line"
done
grep -q 'VALUE "FileDescription", "[^"]' <<<"$rc" || fail "kqd.exe's VERSIONINFO lacks a FileDescription"

step="checksums"
# Modes too, whatever the umask: executables 0755, the rest 0644.
(cd "$tmp" && chmod 0644 -- * && chmod 0755 -- *.exe && export LC_ALL=C && files=(*) &&
  sha256sum -- "${files[@]}" >SHA256SUMS && chmod 0644 SHA256SUMS) || fail "sha256sum"

step="publish"
mv "$tmp" "$out" || fail "cannot rename $tmp to $out"

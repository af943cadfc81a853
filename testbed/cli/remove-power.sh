# usage: remove the powrprof double: its overrides, its record, and Wine's placeholder back in system32
kqd_wine_start_server || exit 1
if [ -f "$KQD_BIN/kqdtb.exe" ]; then
  kqd_wine "$KQD_BIN/kqdtb.exe" power-overrides off || exit 1
  kqd_wine "$KQD_BIN/kqdtb.exe" power-clear || exit 1
fi
if [ -f "$KQD_SYSTEM32/powrprof.dll.kqd-builtin" ]; then
  mv -f "$KQD_SYSTEM32/powrprof.dll.kqd-builtin" "$KQD_SYSTEM32/powrprof.dll" || exit 1
fi
echo "removed the powrprof double"

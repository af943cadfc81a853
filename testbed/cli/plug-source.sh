# usage: plug-source SOURCE|none — leave one mode source (as kqdtb sources lists them) offering a mode: the WMI provider off, the G-sensor unplugged and the power-management driver answering "unknown", then the named one plugged in (WMI: one instance reporting laptop; driver: laptop); needs the three doubles installed
kqd_wine_start_server || exit 1
kqd_source_table || exit 1
if [ "${1:-}" != none ] && ! kqd_is_source "${1:-}"; then
  echo "usage: kqdtb plug-source $(kqd_sources | paste -sd'|')|none" >&2
  exit 2
fi
kqd_plug() { kqd_wine "$KQD_BIN/kqdtb.exe" "$@" >/dev/null; }
kqd_plug wmi-provider off && kqd_plug sensor-unplug && kqd_plug davodira-answer 0x00020000 || exit 1
case "$1" in
  wmi) kqd_plug wmi-provider on && kqd_plug wmi-instances 1 && kqd_plug wmi-mode 1 ;;
  sensor) kqd_plug sensor-plug ;;
  driver) kqd_plug davodira-answer 0x00020001 ;;
  none) ;;
  *) echo "kqdtb plug-source: the testbed has no double for the source $1" >&2; false ;;
esac || exit 1
echo "mode source plugged in: $1"

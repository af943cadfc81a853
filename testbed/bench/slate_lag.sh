#!/usr/bin/env bash
# Measures, does not judge: with the slate-toggle double's lag at each of LAGS (ms),
# the installed kqd.exe is folded quickly through the WMI source (announcements 10 to
# 20 ms apart) and through the Sensor API (one quick burst, and postures 250 ms
# apart), and the table says whether the system's slate state ends in agreement with
# the last published mode, with the writes and changes it took.
#   KQD_BUILD=build/windows testbed/bench/slate_lag.sh [LAGS...]   (default: 0 20 100 300)
. "$(dirname "$0")/../../tests/e2e/lib.sh"
lags=("$@"); [ ${#lags[@]} -gt 0 ] || lags=(0 20 100 300)
out=$KQD_BUILD/slate-lag
mkdir -p "$out"
kqd_wine_start_server || exit 1
trap e2e_cleanup EXIT

# A trace of modes: "TIME:MODE ..." with each mode's angles.
write_trace() { # FILE TIME:MODE...
  local file=$1 row; shift
  { echo "time_ms,a,b,mode"
    for row in "$@"; do echo "${row%%:*},$(kqd_mode_angles "${row##*:}" | tr ' ' ,),${row##*:}"; done
  } >"$file"
}
write_trace "$out/wmi_to_laptop.csv" 0:3 15:1 25:4 40:1 50:3 70:1
write_trace "$out/wmi_to_slate.csv" 0:3 10:1 30:3 40:1 60:3
write_trace "$out/sensor_burst.csv" 0:3 15:1 30:3 45:2 60:4
write_trace "$out/sensor_steps.csv" 0:3 250:1 500:3 750:1

e2e_machine >/dev/null
printf '%-7s %-6s %-16s %-10s %-6s %-7s %-8s %s\n' lag source trace "last Mode" writes changes "state" agrees
for source in wmi sensor; do
  kqdtb plug-source "$source" >/dev/null || exit 1
  for lag in "${lags[@]}"; do
    for trace in "$out/${source}"_*.csv; do
      name=$(basename "$trace" .csv)
      kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
      kqdtb install-service >/dev/null || exit 1
      kqdtb slate-lag 0 >/dev/null && kqdtb slate-state laptop >/dev/null
      kqd_sc start KQD >/dev/null
      kqd_wait_service_state KQD RUNNING 30 >/dev/null || { echo "KQD did not start"; exit 1; }
      # The start's own publication (WMI: the provider's mode 1) is over before the replay.
      if [ "$source" = wmi ]; then mode_is 1 >/dev/null; else sleep 1; fi
      kqdtb slate-lag "$lag" >/dev/null
      record=$out/$name.lag$lag.record.csv
      kqdtb replay --source "$source" --settle $((lag + 1500)) "$trace" "$record" >/dev/null || echo "replay failed: $name, lag $lag"
      mode=$(stored_mode) state=$(slate_state)
      writes=$(tr -d '\r' <"$record" | awk -F, '$1 == "slate"' | wc -l)
      changes=$(tr -d '\r' <"$record" | awk -F, '$1 == "slatestate"' | wc -l)
      agrees=$([ "$state" = "$(slate_state_for "$mode")" ] && echo yes || echo "NO")
      printf '%-7s %-6s %-16s %-10s %-6s %-7s %-8s %s\n' "$lag ms" "$source" "${name#*_}" "$mode" "$writes" "$changes" "$state" "$agrees"
      kqd_sc stop KQD >/dev/null
      kqd_wait_service_state KQD STOPPED 30 >/dev/null
      kqdtb remove-service >/dev/null
    done
  done
done

#!/usr/bin/env bash
# Measures, does not judge: with the slate-toggle double's lag at each of LAGS (ms),
# the installed kqd.exe is folded quickly through the WMI source (announcements 10 to
# 20 ms apart) and through the Sensor API (one quick burst, and postures 250 ms
# apart), and the table says whether the system's slate state ends in agreement with
# the last published mode, with the writes and changes it took.
#   KQD_BUILD=build/windows testbed/bench/slate_lag.sh [LAGS...]   (default: 0 20 100 300)
#   SLATE_LAG_SOURCES="wmi" for fewer sources (default: those kqdtb sources lists with
#   slate_sync on, wmi and sensor). About 5 minutes.
. "$(dirname "$0")/../../tests/e2e/lib.sh"
lags=("$@"); [ ${#lags[@]} -gt 0 ] || lags=(0 20 100 300)
out=$KQD_BUILD/slate-lag
rm -rf "$out"
mkdir -p "$out/traces" "$out/records"
kqd_wine_start_server || exit 1
trap e2e_cleanup EXIT

write_slate_lag_traces "$out/traces" || { echo "slate_lag: cannot write the traces" >&2; exit 1; }

e2e_machine >/dev/null
printf '%-7s %-6s %-22s %-10s %-6s %-7s %-8s %s\n' lag source trace "last Mode" writes changes "state" agrees
kqd_source_table || exit 1
for source in ${SLATE_LAG_SOURCES:-$(kqd_sources slate_sync)}; do
  kqdtb plug-source "$source" >/dev/null || exit 1
  for lag in "${lags[@]}"; do
    for trace in "$out/traces/${source}"_*.csv; do
      name=$(basename "$trace" .csv)
      kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f >/dev/null 2>&1
      kqdtb install-service >/dev/null || exit 1
      # Every run starts as a laptop in mode 1.
      kqdtb slate-lag 0 >/dev/null && kqdtb slate-state laptop >/dev/null
      [ "$source" = wmi ] && kqdtb wmi-mode 1 >/dev/null
      kqd_sc start KQD >/dev/null
      kqd_wait_service_state KQD RUNNING 30 >/dev/null || { echo "KQD did not start"; exit 1; }
      # The start's own publication (WMI: the provider's mode 1) is over before the replay.
      [ "$source" = sensor ] && sleep 1 && kqd_fold sensor 1
      mode_is 1 >/dev/null || echo "$lag ms  $source  ${name#*_}: the start did not publish mode 1"
      kqdtb slate-lag "$lag" >/dev/null
      record=$out/records/$name.lag$lag.csv
      if ! kqdtb replay --source "$source" --settle $((lag + 1500)) "$trace" "$record" >/dev/null; then
        echo "$lag ms  $source  ${name#*_}: the replay failed"
        continue
      fi
      mode=$(stored_mode) state=$(slate_state)
      writes=$(tr -d '\r' <"$record" | awk -F, '$1 == "slate"' | wc -l)
      changes=$(tr -d '\r' <"$record" | awk -F, '$1 == "slatestate"' | wc -l)
      agrees=$([ "$state" = "$(slate_state_for "$mode")" ] && echo yes || echo "NO")
      printf '%-7s %-6s %-22s %-10s %-6s %-7s %-8s %s\n' "$lag ms" "$source" "${name#*_}" "$mode" "$writes" "$changes" "$state" "$agrees"
      kqd_sc stop KQD >/dev/null
      kqd_wait_service_state KQD STOPPED 30 >/dev/null
      kqdtb remove-service >/dev/null
    done
  done
done

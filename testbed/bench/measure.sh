# The benchmark's measurements and its table, sourced by bench.sh.

# Progress on stderr (and in the log): each part as it begins, with about how
# long it takes, and how long it took once it has finished.
part= part_started=0
begin() { # WHAT SECONDS
  finish
  part=$1 part_started=$SECONDS
  echo "bench: $1 (about $(duration "$2"))" | tee -a "$log" >&2
}
finish() {
  [ -n "$part" ] && echo "bench:   took $(duration $((SECONDS - part_started)))" | tee -a "$log" >&2
  part=
  return 0
}
duration() { if (($1 < 90)); then echo "$1 s"; else echo "$((($1 + 30) / 60)) min"; fi; }

# A change every 600 ms through laptop, fold 3, fold 4 and tablet in turn: 55
# changes, each its own burst for every source.
latency_trace() {
  local i t=0 modes=(1 3 4 2)
  echo "# posture changes every 600 ms, for the latency benchmark"
  echo "time_ms,a,b"
  for ((i = 0; i < 56; i++)); do
    read -r a b <<<"$(kqd_mode_angles "${modes[i % 4]}")"
    echo "$t,$a,$b"
    t=$((t + 600))
  done
}

start_with() { # SOURCE: that source alone, the service started and its first mode stored
  kqdtb plug-source "$1" >/dev/null || fail "plugging in the $1 source"
  quiet kqd_wine reg delete 'HKLM\SOFTWARE\Tavmir' /f
  kqdtb pwraux-clear >/dev/null
  quiet kqd_sc start KQD
  quiet kqd_wait_service_state KQD RUNNING 30 || fail "KQD did not start"
  case "$1" in
    sensor | driver) kqd_fold_until "$1" 1 ;;  # for the driver: its watch is armed
    wmi) wait_for 10 kqd_stored_mode_is 1 ;;
  esac || fail "no first mode with the $1 source"
}
stop_service() {
  quiet kqd_sc stop KQD
  quiet kqd_wait_service_state KQD STOPPED 30 || fail "KQD did not stop"
  wait_for 10 eval '! kqd_unix_pid kqd.exe >/dev/null'
}
# The replayer alone, for the floor of the measuring path: the service stopped,
# "Mode" at the first posture as the service's run found it, each expected
# publication made by the replayer at its input.
floor_replay() { # SOURCE INPUT RECORD
  quiet kqd_wine reg add 'HKLM\SOFTWARE\Tavmir\TarsiMode' /v Mode /t REG_DWORD /d 1 /f &&
    kqdtb replay --floor --source "$1" "$2" "$3" >>"$log"
}
raw_mode_requests() { local f n=0; for f in $(pwraux_fields); do [[ $f == [0-4] ]] && n=$((n + 1)); done; echo "$n"; }

# "key=value ..." of the running kqd.exe: what Wine answers through Win32
# (wine_*) and what Linux knows of the same process.
sample() {
  local stats pid hz
  stats=$(kqdtb proc-stats kqd.exe) || fail "kqd.exe cannot be measured"
  pid=$(kqd_unix_pid kqd.exe) || fail "no kqd.exe process"
  hz=$(getconf CLK_TCK)
  printf 'threads=%s wine_handles=%s wine_private=%s working_set=%s peak_working_set=%s wine_cpu_ms=%s ' \
    "$(json_field "$stats" threads)" "$(json_field "$stats" handles)" "$(json_field "$stats" private_bytes)" \
    "$(json_field "$stats" working_set)" "$(json_field "$stats" peak_working_set)" \
    "$(awk -v u="$(json_field "$stats" cpu_user_ms)" -v k="$(json_field "$stats" cpu_kernel_ms)" 'BEGIN {print u + k}')"
  printf 'wine_switches=%s cpu_ms=%s switches=%s private=%s tasks=%s fds=%s\n' \
    "$(json_field "$stats" context_switches)" \
    "$(awk -v hz="$hz" '{print ($14 + $15) * 1000 / hz}' "/proc/$pid/stat")" \
    "$(cat /proc/"$pid"/task/*/status 2>/dev/null | awk '/ctxt_switches/ {s += $2} END {print s}')" \
    "$(awk '/^Private_(Clean|Dirty)/ {s += $2} END {print s * 1024}' "/proc/$pid/smaps_rollup")" \
    "$(find "/proc/$pid/task" -mindepth 1 -maxdepth 1 | wc -l)" "$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l)"
}
kv_json() { awk '{for (i = 1; i <= NF; i++) {split($i, kv, "="); printf "%s\"%s\": %s", (i > 1 ? ", " : "{"), kv[1], kv[2]} print "}"}' <<<"$1"; }
json_field() { sed -n "s/.*\"$2\": \\([^,}]*\\).*/\\1/p" <<<"$1"; }
get() { sed -n "s/.*\\b$2=\\([^ ]*\\).*/\\1/p" <<<"$1"; }
calc() { awk "BEGIN {printf \"$1\", $2}"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b == 0) print "n/a"; else printf "%.2f", a / b}'; }
mib() { calc "%.1f MiB" "$1 / 1048576"; }

# Per kind, the service's latency and what it is above the designed delay; the
# floor, the same replay with the replayer publishing at once; and the service's
# share, the latency less the designed delay less the floor (medians from
# medians, p95 from p95s). Either JSON may be null, its part not measured.
latency_rows() { # SOURCE FIGURES-JSON FLOOR-JSON
  local source=$1 kind key designed timed m p fm fp shares=()
  [ "$2" = null ] || as_expected "$2" "the $source replay"
  [ "$3" = null ] || as_expected "$3" "the $source floor replay"
  designed=$(json_field "$([ "$2" = null ] && echo "$3" || echo "$2")" designed_ms)
  for kind in Mode energy; do
    key=${kind,,}
    m=$(json_field "$2" "${key}_median_ms"); p=$(json_field "$2" "${key}_p95_ms")
    fm=$(json_field "$3" "${key}_median_ms"); fp=$(json_field "$3" "${key}_p95_ms")
    if [ "$2" != null ]; then
      timed=$(json_field "$2" timed)
      if [ "$m" = null ]; then
        row "latency $source -> $kind" "none sent" "" ""
        continue
      fi
      row "latency $source -> $kind, median ($timed changes)" "$(calc '%.1f ms' "$m")" "designed ${designed} ms" \
        "$([ "$designed" = 0 ] && echo "+$(calc '%.1f' "$m") ms" || ratio "$m" "$designed")"
      row "latency $source -> $kind, p95" "$(calc '%.1f ms' "$p")" "designed ${designed} ms" \
        "$([ "$designed" = 0 ] && echo "+$(calc '%.1f' "$p") ms" || ratio "$p" "$designed")"
      row "  less the designed delay, median / p95" "$(calc '%.1f / %.1f ms' "$m - $designed, $p - $designed")" "0 ms" ""
    fi
    [ "$3" = null ] && continue
    if [ "$fm" = null ]; then
      [ "$2" = null ] && row "floor $source -> $kind" "none sent" "" ""
      continue
    fi
    if [ "$2" = null ]; then
      row "floor $source -> $kind, median / p95 ($(json_field "$3" timed) changes)" \
        "$(calc '%.1f / %.1f ms' "$fm, $fp")" "" "the replayer alone"
      continue
    fi
    local sm sp
    sm=$(calc '%.1f' "$m - $designed - $fm"); sp=$(calc '%.1f' "$p - $designed - $fp")
    row "  floor (the replayer alone), median / p95" "$(calc '%.1f / %.1f ms' "$fm, $fp")" "" \
      "the measuring path"
    row "  the service's share, median / p95" "$sm / $sp ms" "0 ms" \
      "$(ratio "$sm" "$(calc '%.2f' "$m - $designed")") of what the median is above design"
    shares+=("\"${key}_median_ms\": $sm, \"${key}_p95_ms\": $sp")
  done
  [ ${#shares[@]} -eq 0 ] || put "share_$source" "{$(printf '%s, ' "${shares[@]}" | sed 's/, $//')}"
}
as_expected() { # FIGURES-JSON WHAT
  [ "$(json_field "$1" as_expected)" = true ] ||
    echo "bench: $2 did not go as expected (kqdtrace check)" | tee -a "$log" >&2
}

idle_rows() { # BEFORE AFTER SECONDS
  local cpu wcpu sw
  cpu=$(calc '%.1f' "$(get "$2" cpu_ms) - $(get "$1" cpu_ms)")
  wcpu=$(calc '%.1f' "$(get "$2" wine_cpu_ms) - $(get "$1" wine_cpu_ms)")
  sw=$(( $(get "$2" switches) - $(get "$1" switches) ))
  row "idle ${3} s: CPU time (Linux)" "$cpu ms" "0 ms" "$(calc '%.3f%% of a core' "$cpu / ($3 * 10)")"
  row "idle ${3} s: CPU time (GetProcessTimes)" "$wcpu ms" "0 ms" "10 ms ticks under Wine"
  row "idle ${3} s: wake-ups (Linux context switches)" "$sw" "0" "$(calc '%.2f/s' "$sw / $3")"
  row "idle: thread context switches (Wine)" "$(get "$2" wine_switches)" "" "Wine reports 0: not exposed"
  put idle "{\"seconds\": $3, \"cpu_ms\": $cpu, \"wine_cpu_ms\": $wcpu, \"context_switches\": $sw, \"wine_context_switches\": $(get "$2" wine_switches)}"
}

burst_rows() { # BEFORE AFTER DELIVERY-LINE PUBLICATIONS
  local reports delivered ms cpu
  reports=$(awk '{print $2}' <<<"$3"); delivered=$(awk '{print $4}' <<<"$3"); ms=$(awk '{print $6}' <<<"$3")
  cpu=$(calc '%.1f' "$(get "$2" cpu_ms) - $(get "$1" cpu_ms)")
  row "burst: $reports reports delivered in" "$ms ms" "1000 ms" "$(ratio "$ms" 1000)"
  row "burst: evaluations that published" "$4" "1 per burst" "$(ratio "$4" 1)"
  row "burst: CPU per report" "$(calc '%.1f us' "$cpu * 1000 / $delivered")" "" "$cpu ms in all"
  put burst "{\"reports\": $reports, \"delivered\": $delivered, \"delivery_ms\": $ms, \"publications\": $4, \"cpu_ms\": $cpu}"
}

churn_rows() { # KIND CYCLES BEFORE AFTER LOOP-JSON NOTE
  local ms; ms=$(json_field "$5" ms)
  local timed; timed=$(json_field "$5" cycles)
  row "$1 churn: $2 cycles, time per cycle" "$(calc '%.1f ms' "$ms / $timed")" "" "$6"
  churn_compare "$1" "$3" "$4"
  put "churn_$1" "{\"cycles\": $2, \"timed_cycles\": $timed, \"ms\": $ms, \"before\": $(kv_json "$3"), \"after\": $(kv_json "$4")}"
}
churn_compare() { # KIND BEFORE AFTER
  local key label
  for key in threads tasks working_set private fds wine_handles wine_private; do
    case $key in
      threads) label="threads (Toolhelp)" ;; tasks) label="threads (Linux tasks)" ;;
      working_set) label="working set" ;; private) label="private bytes (Linux)" ;;
      fds) label="Linux file descriptors" ;; wine_handles) label="handles (GetProcessHandleCount)" ;;
      wine_private) label="private bytes (Wine)" ;;
    esac
    local b a; b=$(get "$2" $key); a=$(get "$3" $key)
    if [ "$key" = wine_handles ] || [ "$key" = wine_private ]; then
      [ "$a" = 0 ] && [ "$b" = 0 ] && { row "$1 churn: $label" "0 -> 0" "before" "Wine reports 0: not exposed"; continue; }
    fi
    if [ "$key" = working_set ] || [ "$key" = private ]; then
      row "$1 churn: $label" "$(mib "$b") -> $(mib "$a")" "before" "$(ratio "$a" "$b")"
    else
      row "$1 churn: $label" "$b -> $a" "before" "$(ratio "$a" "$b")"
    fi
  done
}
# The shipped kqd.exe (the one installed and measured) with its imports, the test
# build's beside it, and the working set of the running service.
size_rows() { # SAMPLE
  local exe=$KQD_SERVICE_EXE test_exe=$KQD_BIN/kqd.exe bytes test_bytes=null imports dlls note where
  bytes=$(stat -c %s "$exe")
  imports=$("$KQD_TESTBED/../scripts/pe-imports.sh" x86_64-w64-mingw32-objdump "$exe") && [ -n "$imports" ] ||
    fail "no import table in $exe"
  where=${exe#"$(cd "$KQD_TESTBED/.." && pwd)/"}
  note="static, stripped: $where"
  [ "$kqd_service_exe_packaged" = 1 ] || note="KQD_SERVICE_EXE as given: $where"
  [ -f "$test_exe" ] && test_bytes=$(stat -c %s "$test_exe")
  row "kqd.exe size, shipped" "$(calc '%.0f KiB' "$bytes / 1024")" \
    "$([ "$test_bytes" = null ] && echo "no test build" || echo "test build $(calc '%.0f KiB' "$test_bytes / 1024")")" \
    "$([ "$test_bytes" = null ] || echo "$(ratio "$bytes" "$test_bytes"); ")$note"
  row "kqd.exe imports, shipped" "$(wc -l <<<"$imports") DLLs" \
    "$([ "$kqd_service_exe_packaged" = 1 ] && echo "system DLLs (package)")" "$(paste -sd' ' <<<"$imports")"
  row "working set once running" "$(mib "$(get "$1" working_set)")" "private $(mib "$(get "$1" private)")" \
    "$(ratio "$(get "$1" working_set)" "$(get "$1" private)")"
  dlls=$(awk '{printf "%s\"%s\"", (NR > 1 ? ", " : ""), $0}' <<<"$imports")
  put size "{\"exe\": \"$exe\", \"exe_bytes\": $bytes, \"imports\": [$dlls], \"test_build_exe\": \"$test_exe\", \"test_build_exe_bytes\": $test_bytes, \"working_set\": $(get "$1" working_set), \"private\": $(get "$1" private)}"
}

print_table() {
  local r
  printf '%-58s %-22s %-20s %s\n' figure measured "compared with" ratio
  for r in "${rows[@]}"; do
    IFS='|' read -r f m c q <<<"$r"
    printf '%-58s %-22s %-20s %s\n' "$f" "$m" "$c" "$q"
  done
}
write_json() {
  local i
  printf '{"wine": "%s", "date": "%s"' "$(kqd_wine --version 2>/dev/null | tr -d '\r')" "$(date -u +%FT%TZ)"
  for i in "${json[@]}"; do printf ',\n %s' "$i"; done
  printf '\n}\n'
}

#!/usr/bin/env bash
# run.sh TARGET CORPUS WORKDIR SECONDS: fuzz TARGET for SECONDS, starting from the
# inputs of CORPUS, with new inputs and any crash kept under WORKDIR. Ends with one
# summary line; fails when the target found a crash or a failed check.
set -uo pipefail
target=$1 corpus=$2 work=$3 seconds=$4
name=$(basename "$target")

mkdir -p "$work/corpus" "$work/crashes"
rm -f "$work/crashes/"*
"$target" -seed=1 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/crashes/" "$work/corpus" "$corpus" >"$work/log" 2>&1
rc=$?

runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$work/log" | tail -1)
cov=$(sed -nE 's/^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED).* cov: ([0-9]+).*/\2/p' "$work/log" | tail -1)
crash=$(find "$work/crashes" -type f | head -1)
printf '%-22s %10s runs in %ss (%s/s), cov %s, corpus %s%s\n' "$name" "${runs:-?}" "$seconds" \
  "$(( ${runs:-0} / seconds ))" "${cov:-?}" "$(find "$work/corpus" -type f | wc -l)" \
  "${crash:+, CRASH: $crash}"
if [ "$rc" -ne 0 ] || [ -n "$crash" ]; then
  grep -E 'check failed|ERROR: |SUMMARY: |runtime error' "$work/log" | head -20 >&2
  echo "reproduce: $target $crash" >&2
  exit 1
fi

# Shared by the kqdtb script commands: the build's prefix, the harness, and small helpers.
export KQD_WINEPREFIX="${KQD_WINEPREFIX:-$KQD_BUILD/wine}"
. "$KQD_TESTBED/wine/harness.sh"
KQD_BIN="$KQD_BUILD/bin"
KQD_SYSTEM32="$(kqd_wine_path)"

kqd_sc() { kqd_wine sc "$@"; }

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

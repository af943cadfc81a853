#!/usr/bin/env bash
# The Sensor API double installed in the prefix, driven through the testbed CLI:
# a process without a class object of its own loads kqdsensors.dll through
# CLSID_SensorManager, and the sensor-* commands reach it across processes.
. "$(dirname "$0")/../../e2e/lib.sh"
kqd_wine_start_server || exit 1
setup "the machine reset" kqdtb reset
scratch=$(mktemp -d)
client=
trap '[ -n "$client" ] && kill "$client" 2>/dev/null; kqdtb remove-sensors >/dev/null 2>&1; rm -rf "$scratch"' EXIT

clsid='HKLM\Software\Classes\CLSID\{77A1C827-FCD2-4689-8915-9D613CC5FA3E}'
server() { kqd_wine reg query "$clsid\\InprocServer32" /ve 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'; }
read_line() { kqdtb sensor-read | tr -d '\r' | grep "^$1" ; }
sensor_line() { read_line "sensor 0 "; }
wait_for() { # wait_for SECONDS COMMAND...: polls until the command succeeds
  local limit=$1 i; shift
  for ((i = 0; i < limit * 10; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}
fails() { ! "$@" >/dev/null 2>&1; }

check "installs" kqdtb install-sensors
check_eq "CLSID_SensorManager is the double" 'C:\windows\system32\kqdsensors.dll' "$(server)"
check_eq "no sensor is plugged after install" "" "$(sensor_line)"
check "sensor-angles fails when no double is loaded" fails kqdtb sensor-angles 300 100

# The client connects, waits for its sensor, then for a mode.
kqd_wine "$KQD_BIN/sensor_source_tests.exe" --gtest_also_run_disabled_tests \
  --gtest_filter=SensorInstalled.DISABLED_ModeThroughTheRegistry </dev/null >"$scratch/out" 2>&1 &
client=$!
check "the client registers its manager sink" \
  wait_for 30 bash -c '"$1" sensor-read | tr -d "\r" | grep -qx "manager-sinks 1"' _ "$KQD_TESTBED/kqdtb"
check "sensor-angles fails while no sensor has a sink" fails kqdtb sensor-angles 300 100

check "sensor-plug of another model" kqdtb sensor-plug 'tavmir zarn'
check_eq "the other model gets no sink" "sensor-sinks 0" "$(read_line sensor-sinks)"
check "sensor-plug of the model" kqdtb sensor-plug
check_eq "the late sensor has the sink" "sensor-sinks 1" "$(read_line sensor-sinks)"
check "sensor-angles is delivered" kqdtb sensor-angles 300 100
check "the client ends" wait_for 30 bash -c '! kill -0 "$1" 2>/dev/null' _ "$client"
out=$(tr -d '\r' <"$scratch/out")
check "the client connected" grep -qx 'connect=0x0' <<<"$out"
check "the late sensor took over as the source" grep -qx 'found=1 kind=1' <<<"$out"
check "the angles gave the low fold" grep -qx 'mode=3' <<<"$out"
check "the client detached" grep -qx 'detach=0x0' <<<"$out"
client=

check_eq "sensor-read shows the sensor" \
  "sensor 0 model=Tavmir Zarn state=0 type=custom Val1=r4:0 Val2=r4:0 Val3=r4:0 Val4=r4:0 Val5=r4:100 Val6=r4:300" \
  "$(sensor_line)"
check_eq "no sink is left" "sensor-sinks 0" "$(read_line sensor-sinks)"
check "sensor-value sets a typed field" kqdtb sensor-value Val6 int -7
check "sensor-value sets a missing field" kqdtb sensor-value Val1 none 0
check_eq "sensor-read shows the types" \
  "sensor 0 model=Tavmir Zarn state=0 type=custom Val1=none:0 Val2=r4:0 Val3=r4:0 Val4=r4:0 Val5=r4:100 Val6=int:-7" \
  "$(sensor_line)"
check "sensor-value refuses Val7" fails kqdtb sensor-value Val7 r4 1
check "sensor-value refuses an unknown type" fails kqdtb sensor-value Val1 r8 1
check "sensor-value refuses an out-of-range ui4" fails kqdtb sensor-value Val1 ui4 -1
check "sensor-plug with a state" kqdtb sensor-plug 'Tavmir Zarn' 1
check_eq "the state is kept" "sensor 0 model=Tavmir Zarn state=1" "$(sensor_line | cut -d' ' -f1-5)"
check "sensor-unplug" kqdtb sensor-unplug
check_eq "no sensor after unplug" "" "$(sensor_line)"

check "removes" kqdtb remove-sensors
check_eq "CLSID_SensorManager is gone" "" "$(server)"
e2e_done

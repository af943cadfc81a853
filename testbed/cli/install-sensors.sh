# usage: put the Sensor API double in the prefix (kqdsensors.dll as CLSID_SensorManager); no sensor is plugged
kqd_wine_start_server || exit 1
cp "$KQD_BIN/kqdsensors.dll" "$KQD_SYSTEM32/kqdsensors.dll" || exit 1
kqd_sensors_key='HKLM\Software\Classes\CLSID\{77A1C827-FCD2-4689-8915-9D613CC5FA3E}\InprocServer32'
kqd_wine reg delete 'HKLM\Software\KqdTestbed\Sensors' /f >/dev/null 2>&1
kqd_set_inproc_server "$kqd_sensors_key" 'C:\windows\system32\kqdsensors.dll' ||
  { echo "kqdtb: registering kqdsensors.dll failed" >&2; exit 1; }
echo "installed kqdsensors.dll -> CLSID_SensorManager"

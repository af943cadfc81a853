# usage: take the Sensor API double out of the prefix (Wine has no sensor manager of its own) and forget its sensors
kqd_wine_start_server || exit 1
kqd_wine reg delete 'HKLM\Software\Classes\CLSID\{77A1C827-FCD2-4689-8915-9D613CC5FA3E}' /f >/dev/null 2>&1
kqd_wine reg delete 'HKLM\Software\KqdTestbed\Sensors' /f >/dev/null 2>&1
rm -f "$KQD_SYSTEM32/kqdsensors.dll"
echo "removed kqdsensors.dll; CLSID_SensorManager is not registered"

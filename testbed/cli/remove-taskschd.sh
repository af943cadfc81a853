# usage: give CLSID_TaskScheduler back to Wine's builtin taskschd.dll (the double's stored tasks stay; tasks-clear removes them)
kqd_wine_start_server || exit 1
kqd_taskschd_key='HKLM\Software\Classes\CLSID\{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}\InprocServer32'
kqd_set_inproc_server "$kqd_taskschd_key" 'C:\windows\system32\taskschd.dll' ||
  { echo "kqdtb: restoring taskschd.dll failed" >&2; exit 1; }
rm -f "$KQD_SYSTEM32/kqdtaskschd.dll"
echo "removed kqdtaskschd.dll; CLSID_TaskScheduler -> C:\\windows\\system32\\taskschd.dll"

# usage: put the Task Scheduler double in place of Wine's taskschd for the prefix (kqdtaskschd.dll as CLSID_TaskScheduler; tasks in C:\kqdtb\tasks)
kqd_wine_start_server || exit 1
cp "$KQD_BIN/kqdtaskschd.dll" "$KQD_SYSTEM32/kqdtaskschd.dll" || exit 1
kqd_taskschd_key='HKLM\Software\Classes\CLSID\{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}\InprocServer32'
kqd_set_inproc_server "$kqd_taskschd_key" 'C:\windows\system32\kqdtaskschd.dll' ||
  { echo "kqdtb: registering kqdtaskschd.dll failed" >&2; exit 1; }
echo "installed kqdtaskschd.dll -> CLSID_TaskScheduler"

# usage: stop and delete the power-management driver double (kernel service KqdDavodira), its file and its Type2 key
kqd_wine_start_server || exit 1
kqd_remove_kernel_driver KqdDavodira kqddavodira.sys || exit 1
kqd_wine "$KQD_BIN/kqdtb.exe" type2-delete || exit 1
echo "removed KqdDavodira"

# usage: install the power-management driver double "\\.\DAVODIRA" (kernel service KqdDavodira) and its Type2 value, and wait until it answers
kqd_wine_start_server || exit 1
. "$KQD_TESTBED/cli/remove-davodira.sh" >/dev/null || exit 1
kqd_install_kernel_driver KqdDavodira kqddavodira.sys davodira-present || exit 1
# The sibling service's value: present, so the driver source's watch can run.
kqd_wine "$KQD_BIN/kqdtb.exe" type2-set 0 || exit 1
echo "installed KqdDavodira -> \\\\.\\DAVODIRA"

# usage: install the energy-management driver double "\\.\PwrAuxDrv" (kernel service KqdPwrAux) and wait until it answers
kqd_wine_start_server || exit 1
. "$KQD_TESTBED/cli/remove-pwraux.sh" >/dev/null || exit 1
kqd_install_kernel_driver KqdPwrAux kqdpwraux.sys pwraux-present || exit 1
echo "installed KqdPwrAux -> \\\\.\\PwrAuxDrv"

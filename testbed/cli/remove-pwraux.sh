# usage: stop and delete the energy-management driver double (kernel service KqdPwrAux) and its file
kqd_wine_start_server || exit 1
kqd_remove_kernel_driver KqdPwrAux kqdpwraux.sys || exit 1
echo "removed KqdPwrAux"

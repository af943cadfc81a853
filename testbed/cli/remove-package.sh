# usage: the driver package is gone: delete its oemN.inf (and .PNF) from C:\windows\inf, nothing else; prints the name
kqd_wine_start_server || exit 1
oem=$(kqd_installed_oem_inf) || { echo "kqdtb: the package's oemN.inf is not installed" >&2; exit 1; }
kqd_remove_file_nocase "$KQD_INF_DIR" "$oem" && kqd_remove_file_nocase "$KQD_INF_DIR" "${oem%.*}.pnf" || exit 1
echo "removed $oem"

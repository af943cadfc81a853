#!/usr/bin/env bash
# Installs from Debian's packages whatever the build and the tests need and is missing;
# with "coverage", also what `make coverage` needs to read the gcov data.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have make || need+=(make)
have g++ || need+=(g++)
have x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix)
[ -f /usr/x86_64-w64-mingw32/include/windows.h ] || need+=(mingw-w64-x86-64-dev)
{ [ -x /usr/lib/wine/wine64 ] || have wine64; } || need+=(wine wine64)
have wineserver || [ -x /usr/lib/wine/wineserver64 ] || need+=(wine)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || need+=(libgtest-dev)
{ have flock && have setarch; } || need+=(util-linux)
have gdb || need+=(gdb)
have clang++ || need+=(clang)
compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
  need+=(libclang-rt-14-dev)
if [ "${1:-}" = coverage ]; then
  have gcovr || need+=(gcovr)
  have x86_64-w64-mingw32-gcov-posix || need+=(gcc-mingw-w64-x86-64-posix)
fi

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${need[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null
apt-get install -y -q "${need[@]}" >/dev/null

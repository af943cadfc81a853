#!/usr/bin/env bash
# Prints the time that the release build stamps wherever a tool asks for one: the
# given SOURCE_DATE_EPOCH, else the time of the last commit that changed what the
# package is built from (a commit to the README or the tests leaves the shipped
# bytes, and so a device package's catalog, as they were), else a fixed value
# (2017-10-16 00:00 UTC, the DriverVer date of the driver-package INF) for a tree
# that is no git checkout.
set -u
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  echo "$SOURCE_DATE_EPOCH"
elif t=$(git -C "$(dirname "$0")/.." log -1 --format=%ct -- src cmake CMakeLists.txt CMakePresets.json \
  scripts/package.sh scripts/package-stage.sh 2>/dev/null) && [ -n "$t" ]; then
  echo "$t"
else
  echo 1508112000
fi

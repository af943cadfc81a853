#!/usr/bin/env bash
# Prints the project's version, from its one place: project(kqd VERSION ...) in
# the top CMakeLists.txt.
set -u
v=$(sed -n 's/^project(kqd VERSION \([0-9][0-9.]*\)[ )].*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
[ -n "$v" ] || { echo "kqd-version: no project(kqd VERSION ...) in CMakeLists.txt" >&2; exit 1; }
echo "$v"

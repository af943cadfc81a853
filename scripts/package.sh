#!/usr/bin/env bash
# make package: the release package in build/package/kqd-<version>/, built by the
# preset "release" and staged by its target kqd_package (scripts/package-stage.sh).
# Before it is published, the same tree is copied to build/package-check/src and
# built again in build/package-check/build: both packages must match byte for byte,
# so neither the checkout's nor the build tree's path, nor the time, reaches them.
# The folder is published by a rename once everything has passed; a failed run
# names its step and leaves no package folder.
set -uo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

fail() { echo "make package: step \"$1\" failed${2:+: $2}" >&2; exit 1; }
run() { local name=$1; shift; "$@" || fail "$name"; }

version=$(scripts/kqd-version.sh) || fail version
name=kqd-$version
SOURCE_DATE_EPOCH=$(scripts/source-date-epoch.sh)
export SOURCE_DATE_EPOCH
published=build/package/$name
rm -rf "$published" "build/package/.$name.partial"

run "configure (release)" cmake --preset release >/dev/null
run "build (release)" cmake --build --preset release --target kqd_package
staged=build/release/package/$name

check=build/package-check
rm -rf "$check/src"
mkdir -p "$check/src" || fail "copy for the reproducibility build"
# The tree as it stands, committed or not, without build trees or git's data; the
# times of the files go along, so a second run rebuilds only what changed.
tar -C . --exclude=./build --exclude=./.git -cf - . | tar -C "$check/src" -xf - ||
  fail "copy for the reproducibility build"
run "configure (reproducibility build)" cmake -S "$check/src" -B "$check/build" --preset release >/dev/null
run "build (reproducibility build)" cmake --build "$check/build" --target kqd_package -j 2
again=$check/build/package/$name

files() { (cd "$1" && find . -type f | LC_ALL=C sort); }
[ "$(files "$staged")" = "$(files "$again")" ] ||
  fail reproducibility "the two builds staged different files: $(diff <(files "$staged") <(files "$again") | tr '\n' ' ')"
while IFS= read -r f; do
  cmp -s "$staged/$f" "$again/$f" ||
    fail reproducibility "${f#./} differs between $staged and $again (first bytes: $(cmp -l "$staged/$f" "$again/$f" 2>/dev/null | head -3 | tr -s ' ' | tr '\n' ';'))"
done < <(files "$staged")

mkdir -p build/package || fail publish
cp -a "$staged" "build/package/.$name.partial" && mv "build/package/.$name.partial" "$published" ||
  fail publish "cannot copy $staged to $published"

echo "package: $PWD/$published (SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH; the second build in $check gave the same bytes)"
(cd "$published" && stat -c '%10s  %n' -- *)
echo "package: $((SECONDS - started)) s"

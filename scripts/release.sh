#!/usr/bin/env bash
# Makes the release packages, in OUTDIR (default dist/):
#   catalogue-modules-VERSION-windows.zip
#       zex_fmt.dll, mur_fmt.dll (32-bit hosts), x64/zex_fmt.dll, x64/mur_fmt.dll (64-bit
#       hosts), INSTALL.txt, LICENSE.txt, CHANGELOG.md
#   catalogue-modules-VERSION-linux-x86_64.tar.gz
#       lib/catalogue-modules/ (the .so modules, cathost, mkcat, and catmount, catindex and
#       catfind where they are built),
#       bin/ (links to the programs), share/doc/catalogue-modules/
# VERSION is project(VERSION) of CMakeLists.txt. Release builds go to RELEASE_BUILD,
# RELEASE_BUILD-win32 and RELEASE_BUILD-win64 (default RELEASE_BUILD: build-release).
#
#   scripts/release.sh [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=${RELEASE_BUILD:-build-release}

scripts/install-deps.sh build mingw fuse index

# Linux: the configuration the test suite runs (the default preset's), stripped on install.
echo "-- Linux build ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCATALOGUE_BUILD_TESTS=OFF \
  -DCATALOGUE_BUILD_EMULATOR=OFF >/dev/null
cmake --build "$build"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "release: no project version in $build/CMakeCache.txt" >&2; exit 1; }

echo "-- Windows builds ($build-win32, $build-win64)"
cmake --preset windows-x86 -B "$build-win32" >/dev/null
cmake --build "$build-win32"
cmake --preset windows-x64 -B "$build-win64" -DCMAKE_BUILD_TYPE=Release \
  -DCATALOGUE_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build-win64"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

linux=catalogue-modules-$version-linux-$(uname -m)
cmake --install "$build" --prefix "$stage/$linux" --strip >/dev/null
(cd "$stage" && cmake -E tar czf "$out/$linux.tar.gz" "$linux")

windows=catalogue-modules-$version-windows
cmake --install "$build-win32" --prefix "$stage/$windows" >/dev/null
cmake --install "$build-win64" --prefix "$stage/$windows/x64" --component modules >/dev/null
(cd "$stage" && cmake -E tar cf "$out/$windows.zip" --format=zip "$windows")

echo "release $version:"
ls -l "$out/$linux.tar.gz" "$out/$windows.zip"

#!/usr/bin/env bash
# Makes the release packages, in OUTDIR (default dist/):
#   catalogue-modules-VERSION-windows.zip
#       zex_fmt.dll, mur_fmt.dll (32-bit hosts), x64/zex_fmt.dll, x64/mur_fmt.dll (64-bit
#       hosts), INSTALL.txt, LICENSE.txt, CHANGELOG.md
#   catalogue-modules-VERSION-linux-x86_64.tar.gz (the portable layout)
#       lib/catalogue-modules/ (the .so modules, cathost, mkcat, and catmount, catindex,
#       catfind and catweb where they are built),
#       bin/ (links to the programs), share/doc/catalogue-modules/
#   catalogue-modules_VERSION_ARCH.deb (the system layout; packaging/debian/make-deb.sh)
#       /usr/bin/ (the programs), /usr/lib/MULTIARCH/catalogue-modules/ (the modules),
#       /usr/share/doc/catalogue-modules/
# Both Linux packages also hold what the install rules put in share/ (manual pages,
# completions). VERSION is project(VERSION) of CMakeLists.txt. Release builds go to
# RELEASE_BUILD (default: build-release), RELEASE_BUILD-win32 and RELEASE_BUILD-win64; a
# Windows one goes instead to its preset's folder (build-win32, build-win64, as the Windows
# stage builds them) where that folder is configured exactly as the release's would be: it is
# then brought up to date, not built again. --linux-only skips the Windows builds and the zip.
#
#   scripts/release.sh [--linux-only] [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
windows_too=1
if [ "${1:-}" = "--linux-only" ]; then
  windows_too=0
  shift
fi
out=${1:-dist}
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=${RELEASE_BUILD:-build-release}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

groups=(build fuse index web docs package)
if [ $windows_too -eq 1 ]; then groups+=(mingw); fi
scripts/install-deps.sh "${groups[@]}"

# Linux: the configuration the test suite runs (the default preset's) with the hardening flags
# below, stripped on install. Built for /usr, the prefix of the Debian package, whose module
# folder the programs look in when no module sits beside them.
echo "-- Linux build ($build)"
# Debian's hardening flags, as its own packages are built with: a stack protector, checked
# string and memory calls, relocations read-only and bound at start.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
hardening() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCATALOGUE_BUILD_TESTS=OFF \
  -DCATALOGUE_BUILD_EMULATOR=OFF -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" \
  -DCMAKE_CXX_FLAGS="$(hardening CPPFLAGS) $(hardening CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(hardening LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(hardening LDFLAGS)" >/dev/null
cmake --build "$build"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "release: no project version in $build/CMakeCache.txt" >&2; exit 1; }

# A build folder's cache, without comments, its own path written BUILD: two folders
# configured alike give the same.
cache_entries() {
  local cache=$1/CMakeCache.txt folder line
  folder=$(sed -n 's/^CMAKE_CACHEFILE_DIR:INTERNAL=//p' "$cache")
  [ -n "$folder" ] || return 1
  while IFS= read -r line; do
    case $line in '' | '#'* | '//'*) continue ;; esac
    printf '%s\n' "${line//"$folder"/BUILD}"
  done <"$cache"
}
# Builds with cmake CONFIGURE_ARGUMENTS... in SHARED where SHARED is configured as those
# arguments configure a folder (compared with a scratch one), else in OWN; sets windows_folder.
windows_build() {
  local shared=$1 own=$2
  shift 2
  windows_folder=$own
  if [ -f "$shared/CMakeCache.txt" ]; then
    rm -rf "$stage/configured"
    cmake "$@" -B "$stage/configured" >/dev/null
    if cmp -s <(cache_entries "$shared") <(cache_entries "$stage/configured"); then
      windows_folder=$shared
    fi
  fi
  if [ "$windows_folder" = "$own" ]; then
    cmake "$@" -B "$own" >/dev/null
  fi
  echo "-- Windows build ($windows_folder)"
  cmake --build "$windows_folder"
}

if [ $windows_too -eq 1 ]; then
  windows_build build-win32 "$build-win32" --preset windows-x86
  win32=$windows_folder
  windows_build build-win64 "$build-win64" --preset windows-x64 -DCMAKE_BUILD_TYPE=Release \
    -DCATALOGUE_BUILD_TOOLS=OFF
  win64=$windows_folder
fi

# The two Linux layouts differ in install rules only: switching rebuilds nothing.
linux=catalogue-modules-$version-linux-$(uname -m)
cmake -DCATALOGUE_INSTALL_LAYOUT=portable "$build" >/dev/null
cmake --install "$build" --prefix "$stage/$linux" --strip >/dev/null
(cd "$stage" && cmake -E tar czf "$out/$linux.tar.gz" "$linux")
made=("$out/$linux.tar.gz")

cmake -DCATALOGUE_INSTALL_LAYOUT=system "$build" >/dev/null
DESTDIR="$stage/deb" cmake --install "$build" --prefix /usr --strip >/dev/null
made+=("$(packaging/debian/make-deb.sh "$stage/deb" "$out" "$version")")

if [ $windows_too -eq 1 ]; then
  windows=catalogue-modules-$version-windows
  cmake --install "$win32" --prefix "$stage/$windows" >/dev/null
  cmake --install "$win64" --prefix "$stage/$windows/x64" --component modules >/dev/null
  (cd "$stage" && cmake -E tar cf "$out/$windows.zip" --format=zip "$windows")
  made+=("$out/$windows.zip")
fi

echo "release $version:"
ls -l "${made[@]}"

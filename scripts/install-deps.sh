#!/usr/bin/env bash
# Installs the Debian packages that a command needs; does nothing when they are all present.
# Needs root (or sudo) only when something is missing.
#
#   scripts/install-deps.sh [GROUP...]     no group: every group (CI, scripts/test.sh)
#
# Groups:
#   build     compiler, CMake and Ninja: the modules, cathost and mkcat; zlib: gzip catalogues
#   test      GoogleTest and GoogleMock (the test suite), valgrind (the sanitizer stage)
#   fuzz      clang and its libFuzzer runtime (the fuzz preset and stage)
#   bench     Google Benchmark (the bench preset)
#   mingw     the MinGW-w64 cross compilers: the Windows DLLs (scripts/release.sh)
#   windows   mingw, plus Wine and icoutils: the Windows stage's checks
#   emulator  the Unicorn CPU emulator that cathost32 runs the 32-bit DLLs in
#   i386      32-bit g++ and qemu-user: the suite built and run as 32-bit Linux programs
#   fuse      FUSE 3: catmount
#   index     SQLite and PCRE2: catindex and catfind
#   web       cpp-httplib: catweb
#   browser   Chromium, its WebDriver and Selenium: the web stage (catweb's page in a browser)
#   docs      scdoc and man-db: the manual pages, and their check; bash-completion
#   package   dpkg-dev, fakeroot and lintian: the Debian package and its checks
set -euo pipefail

declare -A groups=(
  [build]="cmake ninja-build g++ zlib1g-dev"
  [test]="libgtest-dev libgmock-dev valgrind"
  [fuzz]="clang libclang-rt-14-dev"
  [bench]="libbenchmark-dev"
  [mingw]="g++-mingw-w64-i686 g++-mingw-w64-x86-64"
  [windows]="g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 icoutils"
  [emulator]="libunicorn-dev pkg-config"
  [i386]="g++-multilib qemu-user"
  [fuse]="fuse3 libfuse3-dev pkg-config"
  [index]="libsqlite3-dev libpcre2-dev pkg-config"
  [web]="libcpp-httplib-dev pkg-config"
  [browser]="chromium chromium-driver python3-selenium"
  [docs]="scdoc man-db bash-completion"
  [package]="dpkg-dev fakeroot lintian file"
)
all_groups=(build test fuzz bench mingw windows emulator i386 fuse index web browser docs package)

wanted=("$@")
[ ${#wanted[@]} -eq 0 ] && wanted=("${all_groups[@]}")

packages=()
for group in "${wanted[@]}"; do
  if [ -z "${groups[$group]+set}" ]; then
    echo "install-deps: unknown group '$group' (groups: ${all_groups[*]})" >&2
    exit 64
  fi
  read -r -a members <<<"${groups[$group]}"
  packages+=("${members[@]}")
done

missing=()
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"

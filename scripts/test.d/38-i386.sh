#!/usr/bin/env bash
# 32-bit stage: the modules, the tools and the whole test suite built for i386 with g++ -m32
# (preset i386, build-i386, toolchain cmake/toolchains/linux-i386.cmake) and run by ctest under
# qemu-i386. GoogleTest is built from /usr/src/googletest, as the system's library is 64-bit.
# This is where faults of 32-bit pointers, size_t and file offsets show up on Linux.
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=scripts/lib/stage.sh
source scripts/lib/stage.sh

step "i386 build (build-i386)"
cmake --preset i386 >/dev/null
cmake --build --preset i386
for binary in build-i386/zex_fmt.so build-i386/catalogue_tests; do
  if ! readelf -h "$binary" | grep -q 'Machine:[[:space:]]*Intel 80386'; then
    echo "$binary is not an i386 program" >&2
    exit 1
  fi
done

# The tests start 32-bit programs themselves (cathost, mkcat): a kernel without 32-bit support
# runs them only through binfmt_misc, which Debian's qemu-user-binfmt leaves without i386 on
# amd64. Registered here, as root, when a 32-bit program does not start.
if ! build-i386/cathost --version >/dev/null 2>&1; then
  step "i386 programs to qemu-i386 through binfmt_misc"
  qemu=$(command -v qemu-i386) || fail "qemu-i386 is missing (scripts/install-deps.sh i386)"
  [ "$(id -u)" -eq 0 ] || fail "this kernel runs no 32-bit program: register qemu-i386 with binfmt_misc as root"
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':' >"$binfmt/register"
  fi
  build-i386/cathost --version >/dev/null || fail "build-i386/cathost does not start under qemu-i386"
fi

step "ctest under qemu-i386"
ctest --preset i386

step "done in $((SECONDS - stage_started))s"

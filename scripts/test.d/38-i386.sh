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

step "ctest under qemu-i386"
ctest --preset i386

step "done in $((SECONDS - stage_started))s"

#!/usr/bin/env bash
# Release stage: what a user's plain `cmake -B b -DCMAKE_BUILD_TYPE=Release && cmake --build b`
# builds (GCC, -O3), built with warnings as errors (CI=true), then the suite run on it.
# RELEASE_BUILD names the folder (default: build-release).
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$SECONDS
step() { echo "-- [$((SECONDS - started))s] $*"; }

release_build=${RELEASE_BUILD:-build-release}
step "Release build with g++ and warnings as errors ($release_build)"
CI=true cmake -S . -B "$release_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=g++ -DCATALOGUE_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$release_build"

step "ctest on the Release build"
ctest --test-dir "$release_build" --output-on-failure -j2

step "done in $((SECONDS - started))s"

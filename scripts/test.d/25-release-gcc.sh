#!/usr/bin/env bash
# Release stage: what a user's plain `cmake -B b -DCMAKE_BUILD_TYPE=Release && cmake --build b`
# builds (GCC, -O3), built with warnings as errors (CI=true), then the suite run on it.
# RELEASE_GCC_BUILD names the folder (default: build-release-gcc, apart from the build-release
# of scripts/release.sh, which is configured otherwise: sharing it would rebuild both in full).
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=scripts/lib/stage.sh
source scripts/lib/stage.sh

release_build=${RELEASE_GCC_BUILD:-build-release-gcc}
step "Release build with g++ and warnings as errors ($release_build)"
CI=true cmake -S . -B "$release_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=g++ -DCATALOGUE_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$release_build"

step "ctest on the Release build"
ctest --test-dir "$release_build" --output-on-failure -j2

step "done in $((SECONDS - stage_started))s"

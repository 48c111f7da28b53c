#!/usr/bin/env bash
# The main job: builds the modules and the reference host (nothing else: no tests, no cross
# builds) in build-main/, then lists the bundled sample catalogues with it. Extra arguments
# go to cathost (for example --json).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake -S . -B build-main -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCATALOGUE_BUILD_TESTS=OFF -DCATALOGUE_BUILD_EMULATOR=OFF > /dev/null
cmake --build build-main --target cathost zex_fmt mur_fmt > /dev/null
exec build-main/cathost "$@" samples/*

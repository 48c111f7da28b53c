#!/usr/bin/env bash
# Builds everything and runs every test: the unit and end-to-end suite, then each further
# stage in scripts/test.d (sanitizers, fuzzing, the Windows builds), in name order.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset default
cmake --build --preset default
ctest --preset default

for stage in scripts/test.d/*.sh; do
  [ -e "$stage" ] || continue
  echo "== $(basename "$stage")"
  bash "$stage"
done
echo "test.sh: all stages passed"

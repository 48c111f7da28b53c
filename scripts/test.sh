#!/usr/bin/env bash
# Builds everything and runs every test: the unit and end-to-end suite, then each further
# stage in scripts/test.d (sanitizers, fuzzing, the Windows builds), in name order. Each
# stage's duration is shown when it ends, and a table of the stages run when the run ends:
# a failing stage ends the run, the table then showing it failed and the stages before it.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib/stage.sh
source scripts/lib/stage.sh
scripts/install-deps.sh

table_on_exit() {
  local status=$?
  # A stage still running at a status of 0: the run was stopped by a signal.
  if [ -n "$stage_current" ] && [ $status -eq 0 ]; then
    stage_end "FAILED (stopped)"
  elif [ -n "$stage_current" ]; then
    stage_end "FAILED (exit $status)"
  fi
  if [ ${#stage_names[@]} -gt 0 ]; then stage_table; fi
}
trap table_on_exit EXIT

stage_begin "default build and ctest"
cmake --preset default
cmake --build --preset default
ctest --preset default
stage_end passed

for stage in scripts/test.d/*.sh; do
  [ -e "$stage" ] || continue
  stage_begin "$(basename "$stage")"
  bash "$stage"
  stage_end passed
done
echo "test.sh: all stages passed"

# shellcheck shell=bash
# What scripts/test.sh and the stages in scripts/test.d share; sourced from the repository's
# root, after the script's own `cd` there.
#
#   step TEXT                  prints "-- [Ns] TEXT", N the seconds since the script began
#   fail TEXT                  counts a failed check in $failures and prints "FAILED: TEXT";
#                              the stage goes on to its other checks
#   exit_if_failed             ends the stage with status 1 when a check failed, saying how many
#   default_preset_build DIR [TARGET...]
#                              builds TARGET (all without) in DIR, a build of the default preset:
#                              configured by `cmake --preset default -B DIR` when DIR is not
#                              configured yet
#
# For scripts/test.sh, the record of the stages run: stage_begin NAME before a stage,
# stage_end RESULT after it (each prints a line with the stage's duration), stage_table the
# table of the stages ended, with their seconds, results and the total.

stage_started=$SECONDS
stage_name=$(basename "$0" .sh)

step() { echo "-- [$((SECONDS - stage_started))s] $*"; }

failures=0
fail() {
  failures=$((failures + 1))
  echo "FAILED: $*"
}
exit_if_failed() {
  if [ "$failures" -ne 0 ]; then
    echo "$stage_name: $failures FAILED" >&2
    exit 1
  fi
}

default_preset_build() {
  local dir=$1
  shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake --preset default -B "$dir" >/dev/null
  fi
  if [ $# -gt 0 ]; then
    cmake --build "$dir" --target "$@"
  else
    cmake --build "$dir"
  fi
}

stage_names=() stage_seconds=() stage_results=()
stage_current="" stage_current_started=0
stage_begin() {
  stage_current=$1
  stage_current_started=$SECONDS
  echo "== $1"
}
stage_end() {
  local seconds=$((SECONDS - stage_current_started))
  stage_names+=("$stage_current")
  stage_seconds+=("$seconds")
  stage_results+=("$1")
  echo "== $stage_current: $1 in ${seconds}s"
  stage_current=""
}
stage_table() {
  local width=5 result_width=6 total=0 result=passed i
  for i in "${!stage_names[@]}"; do
    ((${#stage_names[i]} <= width)) || width=${#stage_names[i]}
    ((${#stage_results[i]} <= result_width)) || result_width=${#stage_results[i]}
    total=$((total + stage_seconds[i]))
    [ "${stage_results[i]}" = passed ] || result=FAILED
  done
  stage_table_row() {
    printf '| %-*s | %7s | %-*s |\n' "$width" "$1" "$2" "$result_width" "$3"
  }
  stage_table_row stage seconds result
  stage_table_row "$(printf '%*s' "$width" '' | tr ' ' -)" ------: \
    "$(printf '%*s' "$result_width" '' | tr ' ' -)"
  for i in "${!stage_names[@]}"; do
    stage_table_row "${stage_names[i]}" "${stage_seconds[i]}" "${stage_results[i]}"
  done
  stage_table_row total "$total" "$result"
}

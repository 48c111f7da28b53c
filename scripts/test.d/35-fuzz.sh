#!/usr/bin/env bash
# Fuzz stage: builds the libFuzzer targets (preset fuzz, build-fuzz, clang) and runs each for
# FUZZ_SECONDS (default 30) from its seed corpus, copied to a temporary folder so that the
# run leaves the repository as it was. Any crash, leak, timeout or out-of-memory fails the
# stage; the input that caused it is kept in $FUZZ_ARTIFACTS (default build-fuzz/artifacts)
# and belongs in fuzz/regressions/<module>/ once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
# shellcheck source=scripts/lib/stage.sh
source scripts/lib/stage.sh

seconds=${FUZZ_SECONDS:-30}
artifacts=${FUZZ_ARTIFACTS:-$root/build-fuzz/artifacts}

step "fuzz build (build-fuzz)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

targets=(zex_host zex_walk mur_host mur_walk catmount_tree)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"
failures=0
for target in "${targets[@]}"; do
  module=${target%%_*}
  step "$target for ${seconds}s"
  mkdir -p "$work/$target"
  cp fuzz/corpus/"$target"/* "$work/$target/"
  status=0
  # -timeout: seconds per input; -rss_limit_mb: memory; -max_len: bytes per input.
  build-fuzz/"${target}_fuzzer" "$work/$target" \
    -dict="fuzz/$module.dict" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -rss_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$artifacts/${target}-" \
    >"$work/$target.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^#[0-9]+[[:space:]]+DONE' \
    "$work/$target.log" || true
  if [ $status -ne 0 ]; then
    failures=$((failures + 1))
    echo "FUZZ FAILURE: $target exited with $status" >&2
    grep -E -A 30 'ERROR|listing_fuzzer:|SUMMARY' "$work/$target.log" | head -n 60 >&2 || true
  fi
done
step "done in $((SECONDS - stage_started))s"
[ $failures -eq 0 ]

#!/usr/bin/env bash
# Builds the benchmarks (bench preset, folder build-bench) and prints the listing benchmarks
# with their ratios to the floors measured in the same run; then, with --checks, counts the
# system calls and heap calls of listings of 10k and 100k items.
#
#   scripts/bench.sh [--checks] [benchmark options...]
#
# REPETITIONS (default 5) sets the repetitions whose medians the ratios use. Other options go
# to the benchmark program, e.g. --sizes=10k,100k or --benchmark_filter=zex.
# The peer comparison is separate: bench/peers.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

checks=false
args=()
for arg in "$@"; do
  if [ "$arg" = "--checks" ]; then checks=true; else args+=("$arg"); fi
done

if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q 'install ok installed'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends libbenchmark-dev
fi

cmake --preset bench >/dev/null
cmake --build --preset bench --target catalogue_bench cathost mkcat zex_fmt mur_fmt >/dev/null

echo "load before the run: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
build-bench/catalogue_bench --benchmark_repetitions="${REPETITIONS:-5}" \
  --benchmark_report_aggregates_only=true "${args[@]}"

if $checks; then
  bench/checks.sh build-bench
fi

#!/usr/bin/env bash
# The main job: builds the modules and the reference host, then lists the bundled sample
# catalogues with it. Extra arguments go to cathost (for example --json).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default > /dev/null
cmake --build --preset default > /dev/null
exec build/cathost "$@" samples/*

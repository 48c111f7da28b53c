#!/usr/bin/env bash
# Runs the README's journey (the sh block under "## The journey") as written: the programs of
# BUILD_DIR first on PATH, a scratch folder as HOME (so ~/catalogues and the default index are
# the test's own) and as the mount point's place, from the top of the source tree. Fails when
# any command of the block fails; exits 77 (skipped) where FUSE cannot mount.
#
#   check_journey.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)

if [ ! -e /dev/fuse ] || ! command -v fusermount3 >/dev/null || ! command -v curl >/dev/null; then
  echo "check_journey: skipped (needs /dev/fuse, fusermount3 and curl)"
  exit 77
fi

home=$(mktemp -d)
trap 'fusermount3 -u "$home/disks" 2>/dev/null || true; rm -rf "$home"' EXIT

# The block, with the build's folder for build/ and the scratch home for the mount point.
block=$(awk '/^## The journey/ {inside = 1} inside && /^```sh$/ {code = 1; next}
             code && /^```$/ {exit} code {print}' "$source_dir/README.md")
if [ -z "$block" ]; then
  echo "check_journey: no sh block under '## The journey' in README.md" >&2
  exit 1
fi
block=${block//'$PWD/build'/$build}
block=${block//\/tmp\/disks/$home/disks}

cd "$source_dir"
if ! output=$(HOME=$home XDG_DATA_HOME= bash -euo pipefail -c "$block" 2>&1); then
  printf '%s\n' "$output"
  echo "check_journey: the README's journey failed" >&2
  exit 1
fi
# What the journey promises to find.
for expected in 'README' 'COMMAND.COM' '"path"'; do
  if ! grep -q -- "$expected" <<<"$output"; then
    printf '%s\n' "$output"
    echo "check_journey: the journey's output lacks $expected" >&2
    exit 1
  fi
done
echo "check_journey: the README's journey ran as written"

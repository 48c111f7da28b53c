#!/usr/bin/env bash
# Instructions per item of the shipped 32-bit DLLs: cathost32 counts the instructions that each
# DLL executes in its own code while listing the benchmark corpus's 10k- and 100k-item
# catalogues. A count, not a time: the same on every machine for the same DLL and catalogue.
#
#   bench/instructions.sh [DLL_FOLDER...]
#
# Each DLL_FOLDER holds zex_fmt.dll and mur_fmt.dll (default: build-win32, built here); give
# two to compare builds, for example one with other compiler flags. SIZES (default 10k,100k)
# picks the catalogues.
set -euo pipefail
cd "$(dirname "$0")/.."

folders=("$@")
[ ${#folders[@]} -gt 0 ] || folders=(build-win32)

cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 >/dev/null
cmake --preset bench >/dev/null
cmake --build --preset bench --target catalogue_bench cathost32 cathost zex_fmt mur_fmt >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build-bench/catalogue_bench --write-catalogues="$work" --sizes="${SIZES:-10k,100k}" 2>/dev/null

printf '%-28s %-10s %10s %16s %12s %12s\n' "DLL" catalogue items instructions "per item" "open+close"
for folder in "${folders[@]}"; do
  for cat in "$work"/*.zex "$work"/*.mur; do
    format=${cat##*.}
    dll=$folder/${format}_fmt.dll
    # The listing must be the native module's, or the count means nothing.
    if ! cmp -s <(TZ=UTC build-bench/cathost --module "build-bench/${format}_fmt.so" "$cat") \
      <(TZ=UTC build-bench/cathost32 --module "$dll" "$cat"); then
      echo "$dll lists $cat differently from the native module" >&2
      exit 1
    fi
    costs=$(TZ=UTC build-bench/cathost32 --instructions --count --module "$dll" "$cat" 2>&1 >/dev/null)
    items=$(awk '/GetArcItem/ {print $3 - 1}' <<<"$costs")
    item_instructions=$(awk '/GetArcItem/ {print $5}' <<<"$costs")
    open_close=$(awk '/OpenArchive|CloseArchive/ {sum += $5} END {print sum}' <<<"$costs")
    printf '%-28s %-10s %10s %16s %12.1f %12s\n' "$dll" "$(basename "$cat")" "$items" \
      "$item_instructions" "$(awk -v i="$item_instructions" -v n="$items" 'BEGIN {print i / n}')" \
      "$open_close"
  done
done

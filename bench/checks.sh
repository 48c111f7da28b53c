#!/usr/bin/env bash
# No system call and no heap call per item: cathost --count lists catalogues of 10k and 100k
# items under strace -c -f and under valgrind; the counts must not grow with the items.
#
#   bench/checks.sh [BUILD_DIR]     (default: build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-bench}" && pwd)
for tool in strace valgrind; do
  command -v $tool >/dev/null || {
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q $tool
  }
done
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$build/catalogue_bench" --sizes=10k,100k --write-catalogues="$dir" 2>/dev/null

printf '%-10s %9s %9s %12s %12s\n' catalogue items syscalls "heap allocs" "heap frees"
for format in zex mur; do
  for size in 10k 100k; do
    file="$dir/$size.$format"
    items=$("$build/cathost" --count --module "$build/${format}_fmt.so" "$file")
    calls=$(strace -c -f -o "$dir/strace" "$build/cathost" --count --module \
      "$build/${format}_fmt.so" "$file" >/dev/null 2>&1; awk '$NF == "total" {print $4}' "$dir/strace")
    heap=$(valgrind --tool=memcheck "$build/cathost" --count --module "$build/${format}_fmt.so" \
      "$file" 2>&1 >/dev/null | sed -n 's/.*total heap usage: \([0-9,]*\) allocs, \([0-9,]*\) frees.*/\1 \2/p' | tr -d ,)
    printf '%-10s %9s %9s %12s %12s\n' "$size.$format" "$items" "$calls" ${heap}
  done
done
echo "(strace -c -f totals and valgrind's heap summary, for the whole cathost process)"

#!/usr/bin/env bash
# Peer comparison, on demand (not in CI): cathost listing 1M-item catalogues to /dev/null, as
# text and with --count, side by side with tar -tf, bsdtar -tf, zipinfo -1 and 7z l on a tar
# and a zip of the same tree. Median of 5 runs of each; ns per item and peak memory.
#
#   bench/peers.sh [BUILD_DIR]        (default: build-bench; build it with the bench preset)
#   bench/peers.sh --mounts [BUILD_DIR]   (default: build; mount comparison, below)
#
# PEERS_DIR (default /tmp/catalogue_peers) holds the tree of empty files, its tar and zip and
# the catalogues; they are made once and reused. PEERS_ITEMS (default 1000000) sets the size.
# The MUR catalogue is mkcat's of the same tree. A ZEX catalogue cannot address 1M distinct
# entries (16-bit entry numbers), so the ZEX one is the benchmark generator's of as many
# items, its directories sharing entry ranges (see bench/corpus.h).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

# Mount comparison: catmount on a MUR and a ZEX catalogue against archivemount (a tar) and
# fuse-zip (a zip) of the same tree of empty files, MOUNT_FOLDERS x 10 subfolders x 100 files
# (default 100: 101,100 entries; the ZEX catalogue holds the first ZEX_FOLDERS, default 60,
# 60,660 entries, within its 16-bit entry numbers). Per peer, median of MOUNT_RUNS (default 3)
# fresh mounts: time until mounted and the tree's top visible, time of
# `find MOUNT -printf '%s %T@ %p\n'`, and the daemon's resident memory after it. Then a folder
# of 1,000 catalogues: time until mounted, and find over all of them (each listed on first use).
if [ "${1:-}" = "--mounts" ]; then
  build=$(cd "${2:-$root/build}" && pwd)
  work=${PEERS_DIR:-/tmp/catalogue_peers}/mounts
  folders=${MOUNT_FOLDERS:-100}
  zex_folders=${ZEX_FOLDERS:-60}
  runs=${MOUNT_RUNS:-3}
  need=()
  command -v archivemount >/dev/null || need+=(archivemount)
  command -v fuse-zip >/dev/null || need+=(fuse-zip)
  command -v fusermount3 >/dev/null || need+=(fuse3)
  command -v zip >/dev/null || need+=(zip)
  if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${need[@]}"
  fi
  for tool in catmount mkcat zex_fmt.so mur_fmt.so; do
    [ -e "$build/$tool" ] || { echo "peers: $build/$tool missing" >&2; exit 1; }
  done
  mkdir -p "$work"
  tree=$work/tree-$folders
  if [ ! -f "$tree.ready" ]; then
    echo "peers: making $tree and its archives (once)" >&2
    rm -rf "$tree" "$tree".*
    for ((a = 0; a < folders; a++)); do
      for ((b = 0; b < 10; b++)); do
        d=$(printf '%s/tree/folder%04d/sub%02d' "$tree" "$a" "$b")
        mkdir -p "$d"
        (cd "$d" && touch $(printf 'file%03d.txt ' $(seq 0 99)))
      done
    done
    "$build/mkcat" mur "$tree.mur" "$tree/tree"
    mkdir -p "$tree.zextree/tree"
    for ((a = 0; a < zex_folders && a < folders; a++)); do
      cp -a "$(printf '%s/tree/folder%04d' "$tree" "$a")" "$tree.zextree/tree/"
    done
    "$build/mkcat" zex "$tree.zex" "$tree.zextree/tree"
    tar -cf "$tree.tar" -C "$tree" tree
    (cd "$tree" && zip -q -r -0 "$tree.zip" tree)
    touch "$tree.ready"
  fi
  mnt=$work/mnt
  mkdir -p "$mnt"
  mountpoint -q "$mnt" && fusermount3 -u "$mnt"
  median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  now() { date +%s%N; }
  # measure NAME DAEMON ENTRIES COMMAND...: COMMAND mounts SOURCE on $mnt and returns.
  measure() {
    local name=$1 daemon=$2
    shift 2
    local readies=() finds=() rss=() entries=0
    for _ in $(seq "$runs"); do
      local start ready end pid
      start=$(now)
      "$@" >/dev/null
      until mountpoint -q "$mnt" && [ -n "$(ls -A "$mnt")" ]; do sleep 0.001; done
      ready=$(now)
      entries=$(find "$mnt" -printf '%s %T@ %p\n' | wc -l)
      end=$(now)
      pid=$(pgrep -n -x "$daemon")
      rss+=("$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")")
      fusermount3 -u "$mnt"
      while kill -0 "$pid" 2>/dev/null; do sleep 0.01; done
      readies+=($(( (ready - start) / 1000000 )))
      finds+=($(( (end - ready) / 1000000 )))
    done
    printf '%-30s %9d entries  ready %6d ms  find %6d ms  RSS %8d KiB\n' "$name" "$entries" \
      "$(printf '%s\n' "${readies[@]}" | median)" "$(printf '%s\n' "${finds[@]}" | median)" \
      "$(printf '%s\n' "${rss[@]}" | median)"
  }
  echo "peers: mounts, median of $runs; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  measure "archivemount (tar)" archivemount archivemount -o ro "$tree.tar" "$mnt"
  measure "fuse-zip (zip)" fuse-zip fuse-zip -r "$tree.zip" "$mnt"
  measure "catmount (mur)" catmount "$build/catmount" "$tree.mur" "$mnt"
  measure "catmount -s (mur)" catmount "$build/catmount" -s "$tree.mur" "$mnt"
  measure "catmount (zex, $zex_folders folders)" catmount "$build/catmount" "$tree.zex" "$mnt"
  # A folder of 1,000 small catalogues.
  many=$work/folder-1000
  if [ ! -d "$many" ]; then
    mkdir -p "$many"
    for i in $(seq -w 1 1000); do cp "$root/samples/photos.mur" "$many/photos-$i.mur"; done
  fi
  measure "catmount (folder of 1000)" catmount "$build/catmount" "$many" "$mnt"
  exit 0
fi
build=$(cd "${1:-$root/build-bench}" && pwd)
work=${PEERS_DIR:-/tmp/catalogue_peers}
items=${PEERS_ITEMS:-1000000}
runs=5

need=()
command -v bsdtar >/dev/null || need+=(libarchive-tools)
command -v 7z >/dev/null || need+=(p7zip-full)
command -v zipinfo >/dev/null || need+=(unzip)
command -v zip >/dev/null || need+=(zip)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${need[@]}"
fi

for tool in cathost mkcat catalogue_bench zex_fmt.so mur_fmt.so; do
  [ -e "$build/$tool" ] || { echo "peers: $build/$tool missing; build the bench preset" >&2; exit 1; }
done

mkdir -p "$work"
if [ ! -f "$work/ready-$items" ]; then
  echo "peers: making a tree of $items items in $work/tree (once)" >&2
  rm -rf "$work/tree" "$work"/tree.* "$work"/ready-*
  "$build/catalogue_bench" --make-tree="$work/tree" --tree-items="$items" >"$work/counts"
  "$build/mkcat" mur "$work/tree.mkcat.mur" "$work/tree"
  tar -cf "$work/tree.tar" -C "$work" tree
  (cd "$work" && zip -q -r -0 tree.zip tree)
  touch "$work/ready-$items"
fi
tree_items=$(cut -d' ' -f1 "$work/counts")
zex_items=$(cut -d' ' -f2 "$work/counts")

# median of the numbers on standard input
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# run NAME ITEMS COMMAND...: times COMMAND (output to /dev/null) $runs times.
results=()
run() {
  local name=$1 count=$2
  shift 2
  local times=() peaks=()
  "$@" >/dev/null 2>&1 || true  # warm the page cache
  for _ in $(seq $runs); do
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f %M -o "$work/peak" "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    times+=($(( end - start )))
    peaks+=("$(tail -n 1 "$work/peak")")
  done
  local ns kib
  ns=$(printf '%s\n' "${times[@]}" | median)
  kib=$(printf '%s\n' "${peaks[@]}" | median)
  local per=$(( ns / count ))
  results+=("$name|$count|$ns|$per|$kib")
  printf '%-34s %9d items %9.1f ms %7d ns/item %8d KiB\n' "$name" "$count" \
    "$(echo "$ns / 1000000" | bc -l)" "$per" "$kib"
}

echo "peers: median of $runs runs each, output to /dev/null; load: $(cut -d' ' -f1-3 /proc/loadavg)"
tar_items=$(tar -tf "$work/tree.tar" | wc -l)
zip_items=$(zipinfo -1 "$work/tree.zip" | wc -l)
run "tar -tf" "$tar_items" tar -tf "$work/tree.tar"
run "bsdtar -tf" "$tar_items" bsdtar -tf "$work/tree.tar"
run "zipinfo -1" "$zip_items" zipinfo -1 "$work/tree.zip"
run "7z l (zip)" "$zip_items" 7z l "$work/tree.zip"
run "7z l (zip), TZ=UTC" "$zip_items" env TZ=UTC 7z l "$work/tree.zip"
run "cathost mur (text)" "$tree_items" "$build/cathost" --module "$build/mur_fmt.so" "$work/tree.mkcat.mur"
run "cathost mur --count" "$tree_items" "$build/cathost" --count --module "$build/mur_fmt.so" "$work/tree.mkcat.mur"
run "cathost zex (text)" "$zex_items" "$build/cathost" --module "$build/zex_fmt.so" "$work/tree.zex"
run "cathost zex --count" "$zex_items" "$build/cathost" --count --module "$build/zex_fmt.so" "$work/tree.zex"
run "cathost zex (text), TZ=UTC" "$zex_items" env TZ=UTC "$build/cathost" --module "$build/zex_fmt.so" "$work/tree.zex"

# Ratios: the fastest peer per item against each cathost line.
fastest=""
best=0
for line in "${results[@]}"; do
  IFS='|' read -r name _ _ per _ <<<"$line"
  case $name in cathost*) continue ;; esac
  if [ -z "$fastest" ] || [ "$per" -lt "$best" ]; then fastest=$name; best=$per; fi
done
echo
echo "fastest peer: $fastest, $best ns/item"
for line in "${results[@]}"; do
  IFS='|' read -r name _ _ per kib <<<"$line"
  case $name in cathost*) ;; *) continue ;; esac
  target=5
  case $name in *--count*) target=20 ;; esac
  ratio=$(echo "$best / $per" | bc -l)
  verdict="met"
  (( $(echo "$ratio < $target" | bc -l) )) && verdict="NOT MET"
  printf '%-34s %6.1fx faster than %s (target %dx): %s\n' "$name" "$ratio" "$fastest" "$target" \
    "$verdict"
done
for file in tree.mkcat.mur tree.zex; do
  printf '%-16s %10d bytes\n' "$file" "$(stat -c %s "$work/$file")"
done

#!/usr/bin/env bash
# Peer comparison, on demand (not in CI): cathost listing 1M-item catalogues to /dev/null, as
# text and with --count, side by side with tar -tf, bsdtar -tf, zipinfo -1 and 7z l on a tar
# and a zip of the same tree. Median of 5 runs of each; ns per item and peak memory.
#
#   bench/peers.sh [BUILD_DIR]        (default: build-bench; build it with the bench preset)
#   bench/peers.sh --mounts [BUILD_DIR]   (default: build; mount comparison, below)
#   bench/peers.sh --search [BUILD_DIR]   (default: build; catindex/catfind against plocate, below)
#   bench/peers.sh --web [BUILD_DIR]      (default: build; catweb's API on the same index, below)
#
# PEERS_DIR (default /tmp/catalogue_peers) holds the tree of empty files, its tar and zip and
# the catalogues; they are made once and reused. PEERS_ITEMS (default 1000000) sets the size.
# The MUR catalogue is mkcat's of the same tree. A ZEX catalogue cannot address 1M distinct
# entries (16-bit entry numbers), so the ZEX one is the benchmark generator's of as many
# items, its directories sharing entry ranges (see bench/corpus.h).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

# make_tree TREE FOLDERS: TREE/tree of FOLDERS x 10 subfolders x 100 empty files
# (folderNNNN/subNN/fileNNN.txt) and TREE.mur, mkcat's MUR catalogue of it; made once.
make_tree() {
  local tree=$1 folders=$2
  [ -f "$tree.tree-ready" ] && return 0
  rm -rf "$tree" "$tree".*
  for ((a = 0; a < folders; a++)); do
    for ((b = 0; b < 10; b++)); do
      d=$(printf '%s/tree/folder%04d/sub%02d' "$tree" "$a" "$b")
      mkdir -p "$d"
      (cd "$d" && touch $(printf 'file%03d.txt ' $(seq 0 99)))
    done
  done
  "$build/mkcat" mur "$tree.mur" "$tree/tree"
  touch "$tree.tree-ready"
}

# Search comparison: catindex and catfind against plocate on the tree of empty files above
# (SEARCH_FOLDERS x 10 x 100; default 100: 101,100 entries; 1000: 1,011,000). Our side indexes
# the tree's MUR catalogue, plocate's updatedb the tree itself (-U TREE -o DB, nothing pruned).
# Per side: index build time (median of SEARCH_BUILDS fresh builds, default 3), index size in
# bytes and per item; then the whole-process time of each query, median of 10 (hyperfine -N,
# output discarded), and the median of the query set's medians. SEARCH_COPIES=N (default 1;
# needs root) makes N disks of the tree: our side N links to its catalogue in one folder,
# indexed together; plocate's a folder of N bind mounts of the tree (10 x 1,011,000 entries:
# SEARCH_FOLDERS=1000 SEARCH_COPIES=10).
if [ "${1:-}" = "--search" ]; then
  build=$(cd "${2:-$root/build}" && pwd)
  folders=${SEARCH_FOLDERS:-100}
  builds=${SEARCH_BUILDS:-3}
  work=${PEERS_DIR:-/tmp/catalogue_peers}/mounts
  need=()
  command -v updatedb.plocate >/dev/null || command -v plocate >/dev/null || need+=(plocate)
  command -v hyperfine >/dev/null || need+=(hyperfine)
  if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${need[@]}"
  fi
  updatedb=$(command -v updatedb.plocate || command -v updatedb)
  for tool in catindex catfind mkcat mur_fmt.so; do
    [ -e "$build/$tool" ] || { echo "peers: $build/$tool missing" >&2; exit 1; }
  done
  mkdir -p "$work"
  tree=$work/tree-$folders
  make_tree "$tree" "$folders"
  copies=${SEARCH_COPIES:-1}
  ours=$work/search-$folders-$copies.sqlite
  theirs=$work/search-$folders-$copies.plocate.db
  our_source=$tree.mur
  their_source=$tree/tree
  if [ "$copies" -gt 1 ]; then
    our_source=$work/disks-$folders-$copies
    their_source=$work/mounts-$folders-$copies
    mkdir -p "$our_source" "$their_source"
    unmount_copies() {
      for disk in "$their_source"/disk*; do
        mountpoint -q "$disk" && umount "$disk"
      done
      return 0
    }
    trap unmount_copies EXIT
    for ((i = 0; i < copies; i++)); do
      disk=$(printf 'disk%02d' "$i")
      ln -f "$tree.mur" "$our_source/$disk.mur"
      mkdir -p "$their_source/$disk"
      mountpoint -q "$their_source/$disk" || mount --bind "$tree/tree" "$their_source/$disk"
    done
  fi
  median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  now() { date +%s%N; }
  # build_time DB COMMAND...: median milliseconds of $builds runs of COMMAND, each from no DB.
  build_time() {
    local db=$1 times=() start end
    shift
    for _ in $(seq "$builds"); do
      rm -f "$db" "$db"-wal "$db"-shm
      start=$(now)
      "$@" >/dev/null
      end=$(now)
      times+=($(( (end - start) / 1000000 )))
    done
    printf '%s\n' "${times[@]}" | median
  }
  echo "peers: search, tree of $folders folders x $copies; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  sync
  our_ms=$(build_time "$ours" "$build/catindex" --db "$ours" "$our_source")
  their_ms=$(build_time "$theirs" "$updatedb" --prunepaths '' --prunefs '' --prunenames '' \
    --prune-bind-mounts no -l no -U "$their_source" -o "$theirs")
  our_items=$("$build/catfind" --db "$ours" -c '*')
  their_items=$(plocate -d "$theirs" -c "$their_source")
  our_bytes=$(cat "$ours" "$ours"-wal 2>/dev/null | wc -c)
  their_bytes=$(stat -c %s "$theirs")
  for side in "catindex|$our_items|$our_ms|$our_bytes" "updatedb|$their_items|$their_ms|$their_bytes"; do
    IFS='|' read -r name count ms bytes <<<"$side"
    printf '%-10s %9d items  build %7d ms  %9d items/s  %10d bytes  %6.1f bytes/item\n' \
      "$name" "$count" "$ms" "$(( count * 1000 / (ms > 0 ? ms : 1) ))" "$bytes" \
      "$(echo "$bytes / $count" | bc -l)"
  done
  # Queries: NAME|catfind arguments|plocate arguments. catfind separates components with
  # backslashes, plocate with slashes. Each argument is single-quoted for hyperfine -N.
  last=$(printf 'folder%04d' $(( folders - 1 )))
  queries=(
    "rare name (-b $last)|-b $last|-b $last"
    "folder plus a name|folder0042\\sub03\\file017.txt|folder0042/sub03/file017.txt"
    "common extension (.txt)|.txt|.txt"
    "3 characters (e01)|e01|e01"
    "no match|nothing-is-called-this|nothing-is-called-this"
  )
  quote() { local out="" arg; for arg; do out+=" '$arg'"; done; printf '%s' "$out"; }
  # median_ms COMMAND: hyperfine's median of 10 runs, in milliseconds.
  median_ms() {
    hyperfine -N -i -w 2 -r 10 --export-json "$work/hyperfine.json" "$1" >/dev/null 2>&1
    jq '.results[0].median * 1000' "$work/hyperfine.json"
  }
  printf '%-28s %10s %10s %12s %12s %7s\n' query catfind plocate "catfind ms" "plocate ms" ratio
  ours_all=() theirs_all=() ratios=()
  for query in "${queries[@]}"; do
    IFS='|' read -r name our_args their_args <<<"$query"
    read -r -a our_words <<<"$our_args"
    read -r -a their_words <<<"$their_args"
    our_count=$("$build/catfind" --db "$ours" -c "${our_words[@]}" || true)
    their_count=$(plocate -d "$theirs" -c "${their_words[@]}" || true)
    our_q=$(median_ms "$build/catfind --db '$ours'$(quote "${our_words[@]}")")
    their_q=$(median_ms "$(command -v plocate) -d '$theirs'$(quote "${their_words[@]}")")
    ours_all+=("$our_q")
    theirs_all+=("$their_q")
    ratios+=("$(echo "$our_q / $their_q" | bc -l)")
    printf '%-28s %10s %10s %12.2f %12.2f %6.2fx\n' "$name" "$our_count" "$their_count" \
      "$our_q" "$their_q" "$(echo "$our_q / $their_q" | bc -l)"
  done
  our_med=$(printf '%s\n' "${ours_all[@]}" | median)
  their_med=$(printf '%s\n' "${theirs_all[@]}" | median)
  printf '%-28s %10s %10s %12.2f %12.2f %6.2fx\n' "median of the set" "" "" "$our_med" \
    "$their_med" "$(echo "$our_med / $their_med" | bc -l)"
  printf '%-28s %59.2fx\n' "median of the ratios" "$(printf '%s\n' "${ratios[@]}" | median)"
  exit 0
fi

# catweb: the API over the index of --search's tree (SEARCH_FOLDERS x 10 x 100; default here
# 1000: 1,011,000 entries), indexed once. catweb listens on a free port of 127.0.0.1; each
# request is asked WEB_RUNS times (default 20) after 2 unmeasured ones, by curl: the median of
# the time the server took (its Server-Timing header) and of the time curl saw, in ms. Searches
# ask for the first page (50 results); the folder tree and the catalogues' total sizes are
# timed cold (the first request, which reads the catalogue) and then warm.
if [ "${1:-}" = "--web" ]; then
  build=$(cd "${2:-$root/build}" && pwd)
  folders=${SEARCH_FOLDERS:-1000}
  runs=${WEB_RUNS:-20}
  work=${PEERS_DIR:-/tmp/catalogue_peers}/mounts
  for tool in catindex catweb mkcat mur_fmt.so; do
    [ -e "$build/$tool" ] || { echo "peers: $build/$tool missing" >&2; exit 1; }
  done
  command -v curl >/dev/null && command -v jq >/dev/null ||
    { echo "peers: --web needs curl and jq" >&2; exit 1; }
  mkdir -p "$work"
  tree=$work/tree-$folders
  make_tree "$tree" "$folders"
  db=$work/web-$folders.sqlite
  [ -f "$db" ] || "$build/catindex" --db "$db" "$tree.mur"
  "$build/catweb" --db "$db" --listen 127.0.0.1:0 2>"$work/catweb.err" &
  server=$!
  trap 'kill $server 2>/dev/null' EXIT
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's|.* at http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$work/catweb.err")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$work/catweb.err" >&2; exit 1; }
  base=http://127.0.0.1:$port
  median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  # ask TARGET: "SERVER_MS CURL_MS" of one request.
  ask() {
    curl -s -o /dev/null -D - -w 'curl %{time_total}\n' "$base$1" |
      awk -F'[=; \r]+' '/^Server-Timing:/ { for (i = 1; i <= NF; i++) if ($i == "dur") s = $(i + 1) }
        /^curl / { printf "%s %.3f\n", s, $2 * 1000 }'
  }
  # measure NAME TARGET [once]: medians of $runs (or the first request alone).
  measure() {
    local name=$1 target=$2 server_ms=() curl_ms=() answer count
    if [ "${3:-}" = once ]; then
      read -r s c < <(ask "$target")
      server_ms=("$s") curl_ms=("$c")
    else
      ask "$target" >/dev/null
      ask "$target" >/dev/null
      for _ in $(seq "$runs"); do
        read -r s c < <(ask "$target")
        server_ms+=("$s") curl_ms+=("$c")
      done
    fi
    answer=$(curl -s "$base$target")
    count=$(jq -r 'if .items then "\(.items | length)\(if .more then "+" else "" end)\(if .partial then " partial" else "" end)" else "\(.catalogues | length)" end' <<<"$answer")
    printf '%-40s %10s %10.2f %10.2f\n' "$name" "$count" \
      "$(printf '%s\n' "${server_ms[@]}" | median)" "$(printf '%s\n' "${curl_ms[@]}" | median)"
  }
  echo "peers: catweb, tree of $folders folders, median of $runs; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  printf '%-40s %10s %10s %10s\n' request rows "server ms" "curl ms"
  last=$(printf 'folder%04d' $(( folders - 1 )))
  measure "catalogues, cold (sums the sizes)" "/api/catalogues" once
  measure "catalogues, warm" "/api/catalogues"
  measure "root folder, cold (reads the tree)" "/api/children?catalogue=1" once
  measure "root folder, warm" "/api/children?catalogue=1"
  measure "a folder, warm" "/api/children?catalogue=1&path=folder0042%5Csub03"
  measure "rare name (-b $last)" "/api/search?q=$last&basename=1"
  measure "folder plus a name" "/api/search?q=folder0042%5Csub03%5Cfile017.txt"
  measure "common extension (.txt)" "/api/search?q=.txt"
  measure "3 characters (e01)" "/api/search?q=e01"
  measure "glob, -i (*SUB0?\\FILE09*)" "/api/search?q=*SUB0%3F%5CFILE09*&ignore_case=1"
  measure "no match" "/api/search?q=nothing-is-called-this"
  measure ".txt, 21st page (offset 1000)" "/api/search?q=.txt&offset=1000"
  measure "2 characters, no match (zz)" "/api/search?q=zz"
  measure "filter only, no match (size +1k)" "/api/search?size=%2B1k"
  exit 0
fi

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
    make_tree "$tree" "$folders"
    rm -rf "$tree.zextree" "$tree.zex" "$tree.tar" "$tree.zip"
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

#!/usr/bin/env bash
# Peer comparison, on demand (not in CI): cathost listing 1M-item catalogues to /dev/null, as
# text and with --count, side by side with tar -tf, bsdtar -tf, zipinfo -1 and 7z l on a tar
# and a zip of the same tree. Median of 5 runs of each; ns per item and peak memory.
#
#   bench/peers.sh [BUILD_DIR]        (default: build-bench; build it with the bench preset)
#   bench/peers.sh --mounts [BUILD_DIR]   (default: build; mount comparison, below)
#   bench/peers.sh --search [BUILD_DIR]   (default: build; catindex/catfind against plocate, below)
#   bench/peers.sh --search --real [BUILD_DIR] [FOLDER...]   (the same on real names; /usr)
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

# Search on real names: catalogues of real folders of this machine against plocate over the
# same folders.
#
#   bench/peers.sh --search --real [BUILD_DIR] [FOLDER...]    (default: build; /usr)
#
# Our side: one catalogue (mkcat mur) per folder directly in each FOLDER (symbolic links and
# files there are left out), named as the folder, indexed by `catindex --db DB CATALOGUES`. The
# other: one plocate database per FOLDER, `updatedb -l 0 -U FOLDER` with nothing pruned, all
# of them asked at once (`plocate -d A:B`). The catalogues are made anew on every run, just
# before the indexes, so that both sides see the same files. Both builds alternate, median of
# SEARCH_BUILDS (default 3), each from no database, wall and CPU time (user + system: the
# figure to trust on a loaded machine). The queries (below, in plocate's form;
# catfind gets each / as a backslash) are counted on both sides: catfind -c against plocate -c
# less the entries plocate has and the catalogues do not (those directly in each FOLDER: a
# catalogue's root is no item), and a difference is printed as a MISMATCH. mkcat stores some
# names changed (case twins as NAME~2, characters code page 1252 lacks as _): a query that
# meets one differs, as it should be told. Then the whole process of each, output discarded,
# SEARCH_RUNS times (default 10, after 2 unmeasured), catfind and plocate alternating run by
# run: the medians of the wall time and of the CPU time (user + system, from wait4), their
# ratios, the median of the ratios and the worst.
#
# SEARCH_SCALE=N (e.g. 10000000) runs the scale step instead: as many copies of the same
# catalogues (cp --reflink=auto, in folders copyNN/) as make N items, indexed by one catindex
# run (its wall and CPU time, items/s and bytes/item), then a few queries, --description among them,
# SEARCH_SCALE_RUNS times (default 5). plocate is not measured at that scale here (the
# synthetic tree's SEARCH_COPIES step does that).
if [ "${1:-}" = "--search" ] && [ "${2:-}" = "--real" ]; then
  shift 2
  build=$root/build
  if [ $# -gt 0 ] && [ -e "$1/catfind" ]; then build=$1; shift; fi
  build=$(cd "$build" && pwd)
  folders=("$@")
  [ ${#folders[@]} -gt 0 ] || folders=(/usr)
  builds=${SEARCH_BUILDS:-3}
  runs=${SEARCH_RUNS:-10}
  scale=${SEARCH_SCALE:-0}
  work=${PEERS_DIR:-/tmp/catalogue_peers}/real
  need=()
  command -v updatedb.plocate >/dev/null || command -v plocate >/dev/null || need+=(plocate)
  command -v python3 >/dev/null || need+=(python3)
  [ -x /usr/bin/time ] || need+=(time)
  if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${need[@]}"
  fi
  updatedb=$(command -v updatedb.plocate || command -v updatedb)
  plocate=$(command -v plocate)
  for tool in catindex catfind mkcat mur_fmt.so; do
    [ -e "$build/$tool" ] || { echo "peers: $build/$tool missing" >&2; exit 1; }
  done
  median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  now() { date +%s%N; }
  # cpu_ms: user plus system milliseconds of the last /usr/bin/time -f '%U %S' -o $work/cpu.
  cpu_ms() { awk 'END { printf "%d", ($1 + $2) * 1000 }' "$work/cpu"; }
  # The queries and their timing (run as python3 -c with the settings in the environment).
  search_real_py=$(cat <<'PY'
import fnmatch, os, statistics, subprocess, time

env = os.environ
runs = int(env["RUNS"])
catfind = [env["CATFIND"], "--db", env["OURS"]]
plocate = [env["PLOCATE"], "-d", env["THEIRS"]] if "THEIRS" in env else None
# plocate's form; catfind gets each / of a pattern as a backslash.
queries = [
    ("rare name: libsqlite3.so", ["libsqlite3.so"]),
    ("rare name, -b: plocate", ["-b", "plocate"]),
    ("rare name: stdio.h", ["stdio.h"]),
    ("folder + name: bits/stdio.h", ["bits/stdio.h"]),
    ("folder + name: man1/ls.1.gz", ["man1/ls.1.gz"]),
    ("common extension: .h", [".h"]),
    ("common extension: .gz", [".gz"]),
    ("common extension: .py", [".py"]),
    ("common extension: .so", [".so"]),
    ("common name, -b: copyright", ["-b", "copyright"]),
    ("common name, -b: __init__.py", ["-b", "__init__.py"]),
    ("glob: */man?/*.gz", ["*/man?/*.gz"]),
    ("glob: */LC_MESSAGES/*.mo", ["*/LC_MESSAGES/*.mo"]),
    ("glob, -b: lib*.so.*", ["-b", "lib*.so.*"]),
    ("-i: makefile", ["-i", "makefile"]),
    ("-i glob: *readme*", ["-i", "*readme*"]),
    ("two patterns: python3 .py", ["python3", ".py"]),
    ("3 characters: xml", ["xml"]),
    ("2 characters: zq", ["zq"]),
    ("no match: nothing-is-called-this", ["nothing-is-called-this"]),
]
if env.get("SCALE"):
    queries = [
        ("rare name: libsqlite3.so", ["libsqlite3.so"]),
        ("folder + name: man1/ls.1.gz", ["man1/ls.1.gz"]),
        ("no match: nothing-is-called-this", ["nothing-is-called-this"]),
        ("--description copyright", ["--description", "copyright"]),
        ("--description GNU stdio.h", ["--description", "GNU", "stdio.h"]),
        ("--description ab (2 characters)", ["--description", "ab"]),
    ]

def ours(args):
    out, value = [], False
    for a in args:
        out.append(a if value or a.startswith("-") else a.replace("/", "\\"))
        value = a in ("--description", "--catalogue", "-l", "--limit")
    return out

def locate_matches(path, args):
    # plocate's rules for one path: every pattern, a glob whole, else a substring.
    base = "-b" in args
    fold = "-i" in args
    text = os.path.basename(path) if base else path
    for p in [a for a in args if not a.startswith("-")]:
        t, q = (text.lower(), p.lower()) if fold else (text, p)
        if any(c in q for c in "*?["):
            if not fnmatch.fnmatchcase(t, q):
                return False
        elif q not in t:
            return False
    return True

roots = open(env["ROOTS"]).read().split("\n")[:-1] if "ROOTS" in env else []

def count(cmd):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    text = r.stdout.decode().strip()
    return int(text) if text.isdigit() else -1

cpu = {}  # id(list of wall times) -> list of CPU times

def once(cmd, into=None):
    start = time.perf_counter_ns()
    child = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             stdin=subprocess.DEVNULL)
    _, _, usage = os.wait4(child.pid, 0)
    child.returncode = 0
    wall = (time.perf_counter_ns() - start) / 1e6
    if into is not None:
        into.append(wall)
        cpu.setdefault(id(into), []).append((usage.ru_utime + usage.ru_stime) * 1000)
    return wall

def med(values):
    return statistics.median(values[2:])

if plocate:
    print("%-34s %8s %8s %6s %10s %10s %6s %9s %9s %6s" % (
        "query", "catfind", "plocate", "check", "catfind ms", "plocate ms", "ratio",
        "cf CPU ms", "pl CPU ms", "ratio"))
else:
    print("%-34s %9s %11s %9s" % ("query", "catfind", "catfind ms", "CPU ms"))
ratios, cpu_ratios, our_all, their_all, mismatches = [], [], [], [], 0
for name, args in queries:
    mine = catfind + ours(args)
    our_count = count(catfind + ["-c"] + ours(args))
    if not plocate:
        times = []
        for _ in range(runs + 2):
            once(mine, times)
        print("%-34s %9d %11.2f %9.2f" % (name, our_count, med(times), med(cpu[id(times)])),
              flush=True)
        continue
    theirs = plocate + args
    their_raw = count(plocate + ["-c"] + args)
    extra = sum(1 for r in roots if locate_matches(r, args))
    check = "equal" if their_raw - extra == our_count else "MISMATCH"
    mismatches += check != "equal"
    our_t, their_t = [], []
    for i in range(runs + 2):
        pair = [(mine, our_t), (theirs, their_t)]
        for cmd, into in pair if i % 2 == 0 else pair[::-1]:
            once(cmd, into)
    our_ms, their_ms = med(our_t), med(their_t)
    our_cpu, their_cpu = med(cpu[id(our_t)]), med(cpu[id(their_t)])
    ratio = our_ms / their_ms
    ratios.append((ratio, name))
    cpu_ratios.append((our_cpu / max(their_cpu, 0.01), name))
    our_all.append(our_ms)
    their_all.append(their_ms)
    plocate_shown = "%d-%d" % (their_raw, extra) if extra else str(their_raw)
    print("%-34s %8d %8s %6s %10.2f %10.2f %5.2fx %9.2f %9.2f %5.2fx" % (
        name, our_count, plocate_shown, check, our_ms, their_ms, ratio, our_cpu, their_cpu,
        cpu_ratios[-1][0]), flush=True)
if plocate:
    print("%-34s %24s %10.2f %10.2f %5.2fx" % ("median of the set", "", statistics.median(our_all),
          statistics.median(their_all), statistics.median(our_all) / statistics.median(their_all)))
    for label, rs in (("wall", ratios), ("CPU", cpu_ratios)):
        print("%s: median of the per-query ratios %.2fx; worst %.2fx (%s); best %.2fx (%s)" % (
            label, statistics.median(r for r, _ in rs), *max(rs), *min(rs)))
    print("counts: %d equal, %d MISMATCH (plocate's figure less its entries that are no item)" % (
        len(ratios) - mismatches, mismatches))
PY
)
  # The catalogues, anew: cats/N/NAME.mur for each folder NAME in the Nth FOLDER (so that
  # catfind's NAME\PATH reads as plocate's path less the FOLDER); the roots
  # file lists what is directly in each FOLDER (plocate's entries that are no item; plocate
  # does not list the FOLDER itself).
  rm -rf "$work/cats" "$work/scale"
  mkdir -p "$work/cats"
  : >"$work/roots"
  : >"$work/mkcat.err"
  start=$(now)
  n=0
  for folder in "${folders[@]}"; do
    folder=$(cd "$folder" && pwd -P)
    for entry in "$folder"/* "$folder"/.[!.]*; do
      [ -e "$entry" ] || [ -L "$entry" ] || continue
      printf '%s\n' "$entry" >>"$work/roots"
      [ -d "$entry" ] && [ ! -L "$entry" ] || continue
      mkdir -p "$work/cats/$n"
      "$build/mkcat" mur "$work/cats/$n/$(basename "$entry").mur" "$entry" 2>>"$work/mkcat.err" || true
    done
    n=$((n + 1))
  done
  mkcat_ms=$(( ($(now) - start) / 1000000 ))
  ours=$work/real.sqlite
  echo "peers: search on real names (${folders[*]}); load: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "peers: $(find "$work/cats" -name '*.mur' | wc -l) catalogues, made by mkcat in $mkcat_ms ms" \
    "($(wc -l <"$work/mkcat.err") warning lines in $work/mkcat.err)"
  if [ "$scale" -gt 0 ]; then
    "$build/catindex" --db "$ours.one" "$work/cats" >/dev/null 2>&1 || true
    one=$("$build/catfind" --db "$ours.one" -c '*')
    copies=$(( (scale + one - 1) / one ))
    for ((i = 0; i < copies; i++)); do
      mkdir -p "$work/scale/copy$i"
      cp -R --reflink=auto "$work/cats/." "$work/scale/copy$i/"
    done
    rm -f "$ours.one" "$ours.one"-* "$ours" "$ours"-wal "$ours"-shm
    sync
    echo "peers: scale, $copies copies of $one items; load: $(cut -d' ' -f1-3 /proc/loadavg)"
    start=$(now)
    /usr/bin/time -f '%U %S' -o "$work/cpu" "$build/catindex" --db "$ours" "$work/scale" >/dev/null || true
    ms=$(( ($(now) - start) / 1000000 ))
    cpu=$(cpu_ms)
    items=$("$build/catfind" --db "$ours" -c '*')
    bytes=$(cat "$ours" "$ours"-wal 2>/dev/null | wc -c)
    printf 'catindex   %9d items  build %7d ms (CPU %7d ms)  %9d items/s (%d per CPU s)  %11d bytes  %6.1f bytes/item\n' \
      "$items" "$ms" "$cpu" "$(( items * 1000 / (ms > 0 ? ms : 1) ))" \
      "$(( items * 1000 / (cpu > 0 ? cpu : 1) ))" "$bytes" "$(echo "$bytes / $items" | bc -l)"
    SCALE=1 RUNS=${SEARCH_SCALE_RUNS:-5} CATFIND=$build/catfind OURS=$ours python3 -c "$search_real_py"
    rm -rf "$work/scale"
    exit 0
  fi
  theirs=()
  for ((i = 0; i < n; i++)); do theirs+=("$work/plocate-$i.db"); done
  their_dbs=$(IFS=:; echo "${theirs[*]}")
  sync
  our_times=() their_times=() our_cpus=() their_cpus=()
  for _ in $(seq "$builds"); do
    rm -f "$ours" "$ours"-wal "$ours"-shm
    start=$(now)
    /usr/bin/time -f '%U %S' -o "$work/cpu" \
      "$build/catindex" --db "$ours" "$work/cats" >/dev/null 2>>"$work/catindex.err" || true
    our_times+=($(( ($(now) - start) / 1000000 )))
    our_cpus+=("$(cpu_ms)")
    start=$(now)
    i=0
    cpu=0
    for folder in "${folders[@]}"; do
      rm -f "${theirs[$i]}"
      /usr/bin/time -f '%U %S' -o "$work/cpu" \
        "$updatedb" --prunepaths '' --prunefs '' --prunenames '' --prune-bind-mounts no -l 0 \
        -U "$(cd "$folder" && pwd -P)" -o "${theirs[$i]}"
      cpu=$((cpu + $(cpu_ms)))
      i=$((i + 1))
    done
    their_times+=($(( ($(now) - start) / 1000000 )))
    their_cpus+=("$cpu")
  done
  our_ms=$(printf '%s\n' "${our_times[@]}" | median)
  their_ms=$(printf '%s\n' "${their_times[@]}" | median)
  our_cpu=$(printf '%s\n' "${our_cpus[@]}" | median)
  their_cpu=$(printf '%s\n' "${their_cpus[@]}" | median)
  our_items=$("$build/catfind" --db "$ours" -c '*')
  their_items=$("$plocate" -d "$their_dbs" -c /)
  our_bytes=$(cat "$ours" "$ours"-wal 2>/dev/null | wc -c)
  their_bytes=$(cat "${theirs[@]}" | wc -c)
  echo "builds: catindex ${our_times[*]} ms (CPU ${our_cpus[*]}); updatedb ${their_times[*]} ms (CPU ${their_cpus[*]})"
  for side in "catindex|$our_items|$our_ms|$our_cpu|$our_bytes" \
    "updatedb|$their_items|$their_ms|$their_cpu|$their_bytes"; do
    IFS='|' read -r name count ms cpu bytes <<<"$side"
    printf '%-10s %9d items  build %7d ms (CPU %6d ms)  %9d items/s (%d per CPU s)  %11d bytes  %6.1f bytes/item\n' \
      "$name" "$count" "$ms" "$cpu" "$(( count * 1000 / (ms > 0 ? ms : 1) ))" \
      "$(( count * 1000 / (cpu > 0 ? cpu : 1) ))" "$bytes" "$(echo "$bytes / $count" | bc -l)"
  done
  RUNS=$runs CATFIND=$build/catfind OURS=$ours PLOCATE=$plocate THEIRS=$their_dbs \
    ROOTS=$work/roots python3 -c "$search_real_py"
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  exit 0
fi

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
  need=()
  command -v curl >/dev/null || need+=(curl)
  command -v jq >/dev/null || need+=(jq)
  if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${need[@]}"
  fi
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
  measure "the same, paths only (--path-only)" "/api/search?q=.txt&path_only=1"
  measure "3 characters (e01)" "/api/search?q=e01"
  measure "the same, paths only (--path-only)" "/api/search?q=e01&path_only=1"
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
# `find MOUNT -printf '%s %T@ %p\n'`, and the daemon's resident memory after it; beside it, in
# the same run, the same find over the tree itself (warm: its inodes cached), and the ratio of
# the two medians. Then a folder of 1,000 catalogues: time until mounted, and find over all of
# them (each listed on first use).
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
  # measure NAME DAEMON NATIVE COMMAND...: COMMAND mounts SOURCE on $mnt and returns; NATIVE
  # is the tree the mount shows, found natively before each mount ("-": none).
  measure() {
    local name=$1 daemon=$2 native=$3
    shift 3
    local readies=() finds=() natives=() rss=() entries=0
    [ "$native" = - ] || find "$native" -printf '%s %T@ %p\n' >/dev/null
    for _ in $(seq "$runs"); do
      local start ready end pid
      if [ "$native" != - ]; then
        start=$(now)
        find "$native" -printf '%s %T@ %p\n' >/dev/null
        natives+=($(( ($(now) - start) / 1000000 )))
      fi
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
    local find_ms native_ms versus=""
    find_ms=$(printf '%s\n' "${finds[@]}" | median)
    if [ "$native" != - ]; then
      native_ms=$(printf '%s\n' "${natives[@]}" | median)
      versus=$(printf '  native find %5d ms: %5.1fx' "$native_ms" \
        "$(echo "$find_ms / $(( native_ms > 0 ? native_ms : 1 ))" | bc -l)")
    fi
    printf '%-30s %9d entries  ready %6d ms  find %6d ms  RSS %8d KiB%s\n' "$name" "$entries" \
      "$(printf '%s\n' "${readies[@]}" | median)" "$find_ms" \
      "$(printf '%s\n' "${rss[@]}" | median)" "$versus"
  }
  echo "peers: mounts, median of $runs; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  measure "archivemount (tar)" archivemount "$tree" archivemount -o ro "$tree.tar" "$mnt"
  measure "fuse-zip (zip)" fuse-zip "$tree" fuse-zip -r "$tree.zip" "$mnt"
  measure "catmount (mur)" catmount "$tree/tree" "$build/catmount" "$tree.mur" "$mnt"
  measure "catmount -s (mur)" catmount "$tree/tree" "$build/catmount" -s "$tree.mur" "$mnt"
  measure "catmount (zex, $zex_folders folders)" catmount "$tree.zextree/tree" \
    "$build/catmount" "$tree.zex" "$mnt"
  # A folder of 1,000 small catalogues.
  many=$work/folder-1000
  if [ ! -d "$many" ]; then
    mkdir -p "$many"
    for i in $(seq -w 1 1000); do cp "$root/samples/photos.mur" "$many/photos-$i.mur"; done
  fi
  measure "catmount (folder of 1000)" catmount - "$build/catmount" "$many" "$mnt"
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

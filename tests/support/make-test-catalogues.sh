#!/usr/bin/env bash
# Generates directory trees and catalogues them with mkcat into ZEX and MUR catalogues.
#   make-test-catalogues.sh MKCAT OUTDIR
# Writes OUTDIR/trees/* and OUTDIR/cats/*.zex, *.mur; the same inputs always give the same
# catalogues (time stamps are set explicitly and mkcat runs in UTC). Also adds truncated
# copies, whose listings end in a damaged or missing record.
set -euo pipefail
mkcat=$1
out=$2
trees=$out/trees
cats=$out/cats
rm -rf "$trees" "$cats"
mkdir -p "$trees" "$cats"

# file PATH SIZE STAMP: a file of SIZE bytes (sparse) with modification time STAMP.
file() {
  mkdir -p "$(dirname "$1")"
  : >"$1"
  truncate -s "$2" "$1"
  touch -d "$3" "$1"
}

# Directory times last, deepest first, since adding entries changes them.
stamp_dirs() {
  local root=$1 when=$2
  find "$root" -depth -type d -print0 | xargs -0 touch -d "$when"
}

# 1. Basics: nested directories, descriptions, sizes up to 4 GiB - 1, stamps at and beyond
#    the ends of the DOS range, odd seconds, a leap day, hidden and read-only entries.
t=$trees/basics
file "$t/README.TXT" 1234 "2003-05-06 07:08:09"
file "$t/AUTOEXEC.BAT" 0 "1980-01-01 00:00:00"
file "$t/old.txt" 10 "@0"
file "$t/future.dat" 20 "2200-06-01 12:00:00"
file "$t/last.dat" 30 "2107-12-31 23:59:59"
file "$t/leap.day" 40 "2000-02-29 12:34:56"
file "$t/big.iso" 4294967295 "2019-10-27 02:30:00"
file "$t/three.gb" 3000000000 "2021-03-28 01:59:58"
file "$t/.hidden" 5 "1999-12-31 23:59:58"
file "$t/readonly.cfg" 6 "2010-07-04 04:05:06"
chmod a-w "$t/readonly.cfg"
file "$t/DOCS/a.txt" 4 "1995-08-24 09:00:00"
file "$t/DOCS/SUB/longer_name.data" 77 "2001-09-09 01:46:40"
file "$t/DOCS/SUB/x" 1 "1988-01-01 00:00:02"
mkdir -p "$t/EMPTY" "$t/DOCS/SUB/deeper/deepest"
cat >"$t/descript.ion" <<'TXT'
README.TXT Read me first
big.iso The largest size a catalogue holds
DOCS Documents, with a description on the directory
"readonly.cfg" Settings, never changed
TXT
printf 'a.txt %0300d\n' 7 >"$t/DOCS/descript.ion"
touch -d "2005-05-05 05:05:05" "$t/descript.ion" "$t/DOCS/descript.ion"
stamp_dirs "$t" "2011-11-11 11:11:10"

# 2. Names outside ASCII (Windows-1252 in MUR, turned into OEM by the module) and their
#    descriptions, long names, several dots, blanks, no extension.
t=$trees/names
for name in "café.txt" "Grüße" "naïve résumé.doc" "€uro.txt" "Œuvre complète" \
  "smörgåsbord.tar.gz" "ÀÉÎÕÜ.TXT" "ß" "™mark" "“quoted”.txt" "¿Qué pasa" "日本.txt" \
  "a name with blanks" "many.dots.in.this.name" "noextension" "trailingdot." \
  "A very long file name that goes on and on for quite a while.extension" \
  "‘single’ „low“ † ‡ ¯ … ‰ • ¤ ¦ § ¨ ©.txt"; do
  file "$t/$name" ${#name} "2012-12-12 12:12:12"
done
file "$t/Ünïcödé dir/Ärger.txt" 3 "2014-02-14 14:14:14"
file "$t/Ünïcödé dir/plain.txt" 4 "2014-02-14 14:14:16"
cat >"$t/descript.ion" <<'TXT'
café.txt Beschreibung für Ärger – mit Gedankenstrich
"Grüße" Grüße aus Köln
"naïve résumé.doc" Curriculum vitæ, naïve edition
€uro.txt Costs in €, £ and ¥
TXT
cat >"$t/Ünïcödé dir/descript.ion" <<'TXT'
Ärger.txt Ärger über Öl – “quoted” ½ ¼ ¾ ± ° µ
TXT
touch -d "2013-01-01 00:00:00" "$t/descript.ion" "$t/Ünïcödé dir/descript.ion"
stamp_dirs "$t" "2015-06-15 15:15:14"

# 3. Depth: paths that outgrow the 259 characters of a path.
t=$trees/deep
d=$t
for level in $(seq -w 1 40); do
  d=$d/LEVEL$level
  file "$d/F$level.TXT" "$level" "2016-01-$(((10#$level % 28) + 1)) 10:00:00"
done
stamp_dirs "$t" "2016-02-02 02:02:02"

# 4. Breadth: a pseudo-random tree of some two thousand entries.
t=$trees/random
RANDOM=20240229
mkdir -p "$t"
dirs=("$t")
for i in $(seq 1 1800); do
  parent=${dirs[$((RANDOM % ${#dirs[@]}))]}
  if ((RANDOM % 8 == 0)); then
    new=$parent/dir$i
    mkdir -p "$new"
    dirs+=("$new")
  else
    year=$((1980 + RANDOM % 60))
    file "$parent/file$i.$((RANDOM % 1000))" $((RANDOM * RANDOM % 100000)) \
      "$year-$((RANDOM % 12 + 1))-$((RANDOM % 28 + 1)) $((RANDOM % 24)):$((RANDOM % 60)):$((RANDOM % 60))"
  fi
done
stamp_dirs "$t" "2020-04-04 04:04:04"

# 5. Only empty directories.
t=$trees/emptydirs
mkdir -p "$t/A/B/C" "$t/D" "$t/E/F"
stamp_dirs "$t" "1990-09-09 09:09:08"

for tree in basics names deep random emptydirs; do
  for format in zex mur; do
    TZ=UTC "$mkcat" "$format" "$cats/$tree.$format" "$trees/$tree"
  done
done

# Damaged copies: cut off inside the records.
for format in zex mur; do
  size=$(stat -c %s "$cats/random.$format")
  head -c $((size / 2)) "$cats/random.$format" >"$cats/cut-random.$format"
  size=$(stat -c %s "$cats/basics.$format")
  head -c $((size - 7)) "$cats/basics.$format" >"$cats/cut-basics.$format"
done

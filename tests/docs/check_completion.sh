#!/usr/bin/env bash
# Runs the bash completions of docs/completion in bash, with bash-completion's own framework,
# as the shell runs them on a Tab: COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT set as
# bash sets them for a command line, the completion function called, COMPREPLY checked. Each
# program's options are checked against those its --help lists.
#
#   check_completion.sh BUILD_DIR COMPLETION_DIR PROGRAM...
#
# Exits 77 (skipped) without bash-completion.
set -euo pipefail

build=$(cd "$1" && pwd)
completions=$(cd "$2" && pwd)
shift 2
source "$(dirname "$0")/help_options.sh"

framework=""
for candidate in /usr/share/bash-completion/bash_completion /etc/bash_completion; do
  if [ -r "$candidate" ]; then
    framework=$candidate
    break
  fi
done
if [ -z "$framework" ]; then
  echo "skipped: bash-completion is missing (Debian package bash-completion)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
touch a.zex B.ZEX c.mur notes.txt libx_fmt.so index.sqlite
mkdir sub sub2

# The framework and the completions are written for an interactive shell, not for set -eu.
set +eu +o pipefail
source "$framework"
for program in "$@"; do
  source "$completions/$program" || {
    echo "FAIL: $completions/$program does not load"
    exit 1
  }
done
set -eu -o pipefail

# compopt works only inside a completion that readline started: record what is asked.
COMPOPT_ASKED=""
compopt() { COMPOPT_ASKED+=" $*"; }

failures=0
checks=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# One line of words, for messages.
flat() { echo "${1//$'\n'/ }"; }

# complete LINE: runs the completion registered for LINE's first word with the cursor at the
# end of LINE, splitting it into words as bash does ('=' stands as a word of its own), and
# leaves the candidates, sorted and one per line, in $REPLY_TEXT.
complete_line() {
  local line=$1 word="" i c
  local -a words=()
  for ((i = 0; i < ${#line}; i++)); do
    c=${line:i:1}
    if [ "$c" = " " ]; then
      [ -n "$word" ] && words+=("$word")
      word=""
    elif [ "$c" = "=" ]; then
      [ -n "$word" ] && words+=("$word")
      words+=("=")
      word=""
    else
      word+=$c
    fi
  done
  # A line that ends in a blank completes an empty word; one that ends in '=' the '=' word.
  if [ -n "$word" ] || [ "${line: -1}" = " " ]; then words+=("$word"); fi
  local function
  function=$(complete -p "${words[0]}" | sed -E 's/.*-F ([^ ]+) .*/\1/')
  COMP_WORDS=("${words[@]}")
  COMP_CWORD=$((${#words[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  COMPOPT_ASKED=""
  set +eu +o pipefail
  "$function" "${words[0]}" "${words[COMP_CWORD]}" "${words[COMP_CWORD - 1]}"
  set -eu -o pipefail
  REPLY_TEXT=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort)
}

# expect LINE CANDIDATE...: the completion of LINE offers exactly these candidates.
expect() {
  local line=$1
  shift
  local wanted
  wanted=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
  complete_line "$line"
  checks=$((checks + 1))
  if [ "$REPLY_TEXT" != "$wanted" ]; then
    fail "'$line': offered [$(flat "$REPLY_TEXT")], expected [$(flat "$wanted")]"
  fi
}

# expect_nospace LINE: the completion asks for no space after its candidate.
expect_nospace() {
  complete_line "$1"
  checks=$((checks + 1))
  [[ $COMPOPT_ASKED == *nospace* ]] || fail "'$1': no 'nospace' for [$(flat "$REPLY_TEXT")]"
}

catalogues=(a.zex B.ZEX c.mur sub sub2)
folders=(sub sub2)

# Every option --help lists is offered after "-", and nothing is offered twice.
for program in "$@"; do
  complete_line "$program -"
  offered=$(sed 's/=$//' <<<"$REPLY_TEXT")
  checks=$((checks + 1))
  [ "$(sort -u <<<"$offered")" = "$offered" ] || fail "$program: an option offered twice"
  options=$(help_options "$build/$program") || {
    fail "$program: $build/$program --help failed (is it built?)"
    continue
  }
  missing=$(comm -23 <(sort <<<"$options") <(sort <<<"$offered"))
  [ -z "$missing" ] || fail "$program: --help lists $(flat "$missing"), which is not completed"
done

programs=" $* "

if [[ $programs == *" cathost "* ]]; then
  expect "cathost " "${catalogues[@]}"
  expect "cathost --json a" a.zex
  expect "cathost B" B.ZEX
  expect "cathost --module " libx_fmt.so "${folders[@]}"
  expect "cathost --module=" libx_fmt.so "${folders[@]}"
  expect "cathost --module=li" libx_fmt.so
  expect "cathost --ke" --keep-going
  expect_nospace "cathost --mod"
  expect "cathost --version " ""
  touch d.mur.gz
  expect "cathost d" d.mur.gz
  expect "cathost --match " ""
  rm d.mur.gz
fi

if [[ $programs == *" mkcat "* ]]; then
  expect "mkcat " zex mur B.ZEX a.zex c.mur sub sub2
  expect "mkcat -v m" mur
  expect "mkcat zex " a.zex B.ZEX "${folders[@]}"
  expect "mkcat mur " c.mur "${folders[@]}"
  expect "mkcat -v mur - " "${folders[@]}"
  expect "mkcat mur out.mur " "${folders[@]}"
  expect "mkcat mur out.mur sub " ""
  expect "mkcat --verb" --verbose
fi

if [[ $programs == *" catmount "* ]]; then
  expect "catmount " "${catalogues[@]}"
  expect "catmount c.mur " "${folders[@]}"
  expect "catmount -f -o ro --cache-mib 64 c" c.mur
  expect "catmount --max-items 10 -o allow_other sub " "${folders[@]}"
  expect "catmount c.mur sub " ""
  expect "catmount --module " libx_fmt.so "${folders[@]}"
  expect "catmount --module=" libx_fmt.so "${folders[@]}"
  expect "catmount --cache-mib " ""
  expect "catmount -o " ro cache_mib= max_items= listing_mib= uid= gid= umask= allow_other allow_root \
    default_permissions auto_unmount
  expect "catmount -o ro,al" ro,allow_other ro,allow_root
  expect "catmount -o li" listing_mib=
  expect_nospace "catmount -o li"
  # Readline replaces only what follows the last '=': the candidates begin there too.
  expect "catmount -o cache_mib=64,allow_o" 64,allow_other
  expect "catmount -oro,allow_r" -oro,allow_root
  expect "catmount c.mur sub -o ro,de" ro,default_permissions
  expect "catmount --listing" --listing-mib
fi

if [[ $programs == *" catindex "* ]]; then
  expect "catindex " "${catalogues[@]}"
  expect "catindex -v sub/ " "${catalogues[@]}"
  expect "catindex --db " index.sqlite "${folders[@]}"
  expect "catindex --db=i" index.sqlite
  expect "catindex --db index.sqlite --no-prune " "${catalogues[@]}"
  expect "catindex --no" --no-prune
fi

if [[ $programs == *" catfind "* ]]; then
  expect "catfind --db " index.sqlite "${folders[@]}"
  expect "catfind --db=" index.sqlite "${folders[@]}"
  expect "catfind --type " f d
  expect "catfind --type=" f d
  expect "catfind --limit " ""
  expect "catfind --size " ""
  expect "catfind invoice " ""
  expect "catfind -i --ign" --ignore-case
  expect "catfind --dup" --duplicates
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures of $checks checks failed"
  exit 1
fi
echo "completion: $checks checks passed for $*"

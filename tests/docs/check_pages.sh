#!/usr/bin/env bash
# Checks the manual pages made from docs/man/*.1.scd:
#   - each renders with man(1) at 80 columns without a warning from groff or man, run as
#     lintian runs it;
#   - each has the sections a reader looks for;
#   - every option that the program's --help lists (long and short) has an entry of its own
#     in the page's OPTIONS section, and every option the page's OPTIONS section names is one
#     the program accepts (run with a dummy value and an option no program has, it must
#     complain of that one, not of the page's) and that its --help lists;
#   - the program's --version says "PROGRAM (catalogue-modules) VERSION", as every program's.
#
#   check_pages.sh BUILD_DIR PAGES_MADE PROGRAM...
#
# BUILD_DIR holds the programs and man/PROGRAM.1; PAGES_MADE is 0 when the build found no
# scdoc. Exits 77 (skipped) without pages or without man.
set -euo pipefail

build=$1
pages_made=$2
shift 2
source "$(dirname "$0")/help_options.sh"

if [ "$pages_made" != 1 ]; then
  echo "skipped: no manual pages were made (scdoc is missing)"
  exit 77
fi
if ! command -v man >/dev/null; then
  echo "skipped: man is missing (Debian package man-db)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

for program in "$@"; do
  page=$build/man/$program.1
  if [ ! -s "$page" ]; then
    fail "$program: no page at $page"
    continue
  fi

  # lintian's own command line (documentation/manual check), at 80 columns.
  LC_ALL=C.UTF-8 MANWIDTH=80 MANROFFSEQ='' \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null 2>"$work/warnings" ||
    fail "$program: man failed on the page"
  if grep -q '[^[:space:]]' "$work/warnings"; then
    fail "$program: man or groff warns:"
    sed 's/^/    /' "$work/warnings"
  fi

  LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$page" >"$work/text" 2>/dev/null
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' EXAMPLES 'SEE ALSO'; do
    grep -qx "$section" "$work/text" || fail "$program: no $section section"
  done
  grep -q "^       $program - " "$work/text" || fail "$program: NAME does not begin with '$program - '"

  # The entries' headings of the OPTIONS section (the lines at the section's indent, above
  # each entry's indented text), as one line.
  options_text=$(sed -n '/^OPTIONS$/,/^[A-Z]/p' "$work/text" | grep -E '^ {7}[^ ]' | tr '\n' ' ')

  options=$(help_options "$build/$program") || {
    fail "$program: --help failed"
    continue
  }
  [ -n "$options" ] || fail "$program: no option found in --help"
  missing=()
  while read -r option; do
    if ! grep -qE -- "(^|[^[:alnum:]-])$option([^[:alnum:]-]|\$)" <<<"$options_text"; then
      missing+=("$option")
    fi
  done <<<"$options"
  if [ ${#missing[@]} -gt 0 ]; then
    fail "$program: options in --help without an entry in the page's OPTIONS: ${missing[*]}"
  else
    echo "$program: each of the $(wc -l <<<"$options") options of --help has an entry"
  fi

  # The other direction: what the page names, the program knows. The option no program has
  # comes last, so a known option is read (with its value) and the run ends on a usage error
  # before anything is done; from a scratch folder, with nothing on standard input.
  page_options=$(grep -oE '(^|[[:space:],(])(--[[:alnum:]][[:alnum:]-]*|-[[:alnum:]])' \
    <<<"$options_text" | sed -E 's/^[[:space:],(]//' | sort -u)
  unknown=()
  while read -r option; do
    [ -n "$option" ] || continue
    (cd "$work" && timeout 10 "$build/$program" "$option" dummy --no-such-option-anywhere \
      </dev/null >/dev/null 2>"$work/usage") || true
    if grep -qE -- "unknown option '?$option'?( |\$)" "$work/usage"; then unknown+=("$option"); fi
  done <<<"$page_options"
  if [ ${#unknown[@]} -gt 0 ]; then
    fail "$program: options in the page's OPTIONS that the program refuses: ${unknown[*]}"
  else
    echo "$program: each of the $(wc -l <<<"$page_options") options of the page is accepted"
  fi
  unlisted=$(comm -23 <(printf '%s\n' "$page_options") <(printf '%s\n' "$options") | tr '\n' ' ')
  [ -z "$unlisted" ] || fail "$program: options in the page's OPTIONS that --help omits: $unlisted"

  version=$("$build/$program" --version | head -n 1) || true
  [[ $version =~ ^$program\ \(catalogue-modules\)\ [0-9] ]] ||
    fail "$program: --version says '$version', not '$program (catalogue-modules) VERSION'"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "every page checked: $*"

# Sourced by the docs tests: the options a program's --help lists.
#
# help_options PROGRAM prints each option once, one per line: every -x and --long-name that
# stands at the start of a word (after a blank, a comma or a parenthesis) on a line whose
# first word is an option. Prose lines ("fusermount3 -u MOUNTPOINT"), values such as
# "+N|-N|N" and an attached value ("-oOPTIONS") are not options.
help_options() {
  local help
  help=$("$1" --help) || return 1
  printf '%s\n' "$help" |
    grep -E '^[[:space:]]*--?[[:alnum:]]' |
    grep -oE '(^|[[:space:],(])(--[[:alnum:]][[:alnum:]-]*|-[[:alnum:]])([^[:alnum:]]|$)' |
    sed -E 's/^[[:space:],(]//; s/[^[:alnum:]]$//' |
    sort -u
}

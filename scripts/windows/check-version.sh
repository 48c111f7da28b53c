#!/usr/bin/env bash
# Checks the version resource of format module DLLs, read from the built files with wrestool
# (icoutils): the fixed file and product versions, and the texts Windows shows in the file's
# properties.
#   check-version.sh VERSION DLL...      VERSION: MAJOR.MINOR.PATCH, as project(VERSION) sets it
set -euo pipefail
version=$1
shift
IFS=. read -r major minor patch <<<"$version"

status=0
fail() {
  echo "  FAIL: $*" >&2
  status=1
}

for dll in "$@"; do
  name=$(basename "$dll" .dll)
  format=$(echo "${name%_fmt}" | tr '[:lower:]' '[:upper:]')
  resource=$(mktemp)
  if ! wrestool -x --raw --type=16 "$dll" >"$resource" 2>/dev/null || [ ! -s "$resource" ]; then
    echo "$dll"
    fail "no version resource"
    rm -f "$resource"
    continue
  fi
  # VS_FIXEDFILEINFO: signature FEEF04BD, structure version, then the file version (most and
  # least significant 32 bits) and the product version, little-endian.
  fixed=$(od -An -tx1 -v "$resource" | tr -d ' \n' | grep -o 'bd04effe.\{48\}' | head -n 1)
  word() { # the 32-bit little-endian word at byte $1 of the fixed part
    local hex=${fixed:$(($1 * 2)):8}
    echo $((0x${hex:6:2}${hex:4:2}${hex:2:2}${hex:0:2}))
  }
  fixed_version=""
  product_version=""
  if [ -n "$fixed" ]; then
    fixed_version="$(($(word 8) >> 16)).$(($(word 8) & 0xFFFF)).$(($(word 12) >> 16)).$(($(word 12) & 0xFFFF))"
    product_version="$(($(word 16) >> 16)).$(($(word 16) & 0xFFFF)).$(($(word 20) >> 16)).$(($(word 20) & 0xFFFF))"
  fi
  # The string table: UTF-16 keys, each followed by its value.
  declare -A texts=()
  key=""
  while IFS= read -r line; do
    if [ -n "$key" ]; then
      texts[$key]=$line
      key=""
    else
      case $line in
        CompanyName | FileDescription | FileVersion | InternalName | LegalCopyright | \
          OriginalFilename | ProductName | ProductVersion) key=$line ;;
      esac
    fi
  done < <(strings -el "$resource")
  rm -f "$resource"

  echo "$dll: file version $fixed_version, \"${texts[FileDescription]:-}\"," \
    "${texts[ProductName]:-} ${texts[ProductVersion]:-}"
  [ "$fixed_version" = "$major.$minor.$patch.0" ] || fail "file version $fixed_version"
  [ "$product_version" = "$major.$minor.$patch.0" ] || fail "product version $product_version"
  [ "${texts[FileVersion]:-}" = "$version" ] || fail "FileVersion text '${texts[FileVersion]:-}'"
  [ "${texts[ProductVersion]:-}" = "$version" ] ||
    fail "ProductVersion text '${texts[ProductVersion]:-}'"
  [ -n "${texts[ProductName]:-}" ] || fail "no ProductName"
  [[ "${texts[FileDescription]:-}" == "$format "* ]] ||
    fail "FileDescription '${texts[FileDescription]:-}' does not name the $format format"
  [ "${texts[OriginalFilename]:-}" = "$name.dll" ] ||
    fail "OriginalFilename '${texts[OriginalFilename]:-}'"
  [[ "${texts[LegalCopyright]:-}" == *MIT* ]] || fail "LegalCopyright '${texts[LegalCopyright]:-}'"
  unset texts
done
exit $status

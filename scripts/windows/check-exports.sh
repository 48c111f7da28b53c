#!/usr/bin/env bash
# Checks format module DLLs with objdump: exactly the seven entry points exported, by their
# plain names, and imports from system libraries only.
#   check-exports.sh OBJDUMP ARCH DLL...      ARCH: the objdump file format, e.g. pei-i386
set -euo pipefail
objdump=$1
arch=$2
shift 2

expected_exports="CloseArchive
GetArcItem
GetDefaultCommands
GetFormatName
IsArchive
LoadFormatModule
OpenArchive"
allowed_imports="kernel32.dll
msvcrt.dll
user32.dll"

# On 32-bit x86 the host calls each entry point with __stdcall: the callee removes its
# arguments, 4 bytes each, and the compiler names the function _Name@bytes.
stdcall_bytes() {
  case $1 in
    LoadFormatModule | CloseArchive) echo 4 ;;
    OpenArchive | GetArcItem) echo 8 ;;
    IsArchive | GetFormatName | GetDefaultCommands) echo 12 ;;
  esac
}

# Checks that each export leads to the __stdcall function of its name, with the argument
# bytes of the interface: its address is that of the symbol _Name@bytes.
check_stdcall() {
  local dll=$1 dump=$2 image_base text_rva symbols names rvas i name rva symbol
  image_base=$((0x$(printf '%s\n' "$dump" | sed -n 's/^ImageBase[[:space:]]*//p')))
  text_rva=$((0x$("$objdump" -h "$dll" | awk '$2 == ".text" { print $4 }') - image_base))
  symbols=$("$objdump" -t "$dll")
  mapfile -t names < <(printf '%s\n' "$dump" |
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\1 \2/p')
  mapfile -t rvas < <(printf '%s\n' "$dump" | sed -n 's/.*+base\[ *[0-9]*\] \([0-9a-f]*\) Export RVA/\1/p')
  for entry in "${names[@]}"; do
    i=${entry%% *}
    name=${entry#* }
    rva=$((0x${rvas[$i]}))
    symbol="_$name@$(stdcall_bytes "$name")"
    value=$(printf '%s\n' "$symbols" | awk -v s="$symbol" '$NF == s && /\(sec  1\)/ { print $(NF-1) }')
    if [ -z "$value" ] || [ $((text_rva + value)) -ne $rva ]; then
      echo "  FAIL: export $name is not the __stdcall function $symbol" >&2
      status=1
    fi
  done
}

status=0
for dll in "$@"; do
  dump=$("$objdump" -p "$dll")
  format=$(printf '%s\n' "$dump" | sed -n 's/.*file format \([^ ]*\).*/\1/p' | head -n 1)
  # The export names: the lines of the name pointer table, "[   N] Name".
  exports=$(printf '%s\n' "$dump" |
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\(.*\)$/\1/p' | LC_ALL=C sort)
  imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr 'A-Z' 'a-z' | LC_ALL=C sort -u)
  echo "$dll ($format)"
  echo "  exports: $(echo $exports)"
  echo "  imports: $(echo $imports)"
  if [ "$format" != "$arch" ]; then
    echo "  FAIL: file format $format, expected $arch" >&2
    status=1
  fi
  if [ "$exports" != "$expected_exports" ]; then
    echo "  FAIL: the exports are not exactly the seven entry points, undecorated" >&2
    status=1
  fi
  [ "$format" = pei-i386 ] && check_stdcall "$dll" "$dump"
  unexpected=$(LC_ALL=C comm -23 <(printf '%s\n' "$imports") <(printf '%s\n' "$allowed_imports"))
  if [ -n "$unexpected" ]; then
    echo "  FAIL: imports from $(echo $unexpected)" >&2
    status=1
  fi
done
exit $status

#!/usr/bin/env bash
# The Windows builds and their checks:
#   1. the 32-bit DLLs (preset windows-x86) and the 64-bit modules, cathost and platform_dump
#      (preset windows-x64), cross-built with MinGW-w64;
#   2. objdump: exactly the seven entry points exported, undecorated (on 32-bit x86, each the
#      __stdcall function of its name), and imports from system libraries only; wrestool:
#      the version resource carries the project's version;
#   3. under Wine (64-bit, as 32-bit programs cannot run here): listings of generated
#      catalogues by cathost.exe, byte for byte those of the Linux build, in UTC and in a zone
#      with an offset, as text, JSON and raw text, messages and exit status included;
#   4. the POSIX platform layer against the platform's own CharToOemA (all 256 bytes) and
#      DosDateTimeToFileTime (a sweep of stamps), and the Win32 layer against the POSIX one.
# LINUX_BUILD names the Linux build to compare with (default: build, made by scripts/test.sh);
# KEEP_WINDOWS_CHECK=1 keeps the catalogues, listings and dumps.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
# shellcheck source=scripts/lib/stage.sh
source scripts/lib/stage.sh

linux_build=${LINUX_BUILD:-build}
wine=${WINE64:-/usr/lib/wine/wine64}
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}
modules=(zex_fmt mur_fmt)

step "32-bit Windows build (build-win32)"
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86

step "64-bit Windows build (build-win64)"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 --target cathost "${modules[@]}"
cmake -S tools/wincheck -B build-win64/dump -G Ninja \
  --toolchain "$root/cmake/toolchains/mingw-x86_64.cmake" >/dev/null
cmake --build build-win64/dump

step "Linux reference ($linux_build)"
default_preset_build "$linux_build" cathost mkcat "${modules[@]}"
# cathost32 (the emulating host) is built where its emulator library is installed.
if grep -q '^UNICORN_FOUND:INTERNAL=1' "$linux_build/CMakeCache.txt"; then
  cmake --build "$linux_build" --target cathost32
fi
cmake -S tools/wincheck -B build-wincheck/dump -G Ninja >/dev/null
cmake --build build-wincheck/dump

step "exports and imports"
dlls32=() dlls64=()
for module in "${modules[@]}"; do
  dlls32+=("build-win32/$module.dll")
  dlls64+=("build-win64/$module.dll")
done
scripts/windows/check-exports.sh i686-w64-mingw32-objdump pei-i386 "${dlls32[@]}"
scripts/windows/check-exports.sh x86_64-w64-mingw32-objdump pei-x86-64 "${dlls64[@]}"

step "version resources"
scripts/windows/check-version.sh \
  "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win32/CMakeCache.txt)" \
  "${dlls32[@]}" "${dlls64[@]}"

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# US-English code pages under Wine: ANSI 1252, OEM 437. Wine reads the language from these
# variables itself, so the glibc locale need not be installed (given only to Wine, as the
# shell would complain of a locale it does not have).
# Without its preloader, wine64 now and then finds the address it needs for shared data taken
# by address-space randomisation ("failed to map the shared user data"); it runs without it.
no_aslr=()
setarch "$(uname -m)" -R true 2>/dev/null && no_aslr=(setarch "$(uname -m)" -R)
run_wine() { env LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 "${no_aslr[@]}" "$wine" "$@" </dev/null; }
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  if [ -n "${KEEP_WINDOWS_CHECK:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

step "Wine prefix (first start)"
prefix_started=$SECONDS
run_wine cmd /c exit >/dev/null 2>&1 || true
echo "first start of the Wine prefix: $((SECONDS - prefix_started))s"

step "test catalogues"
tests/support/make-test-catalogues.sh "$linux_build/mkcat" "$work/gen"
cats=$work/gen/cats
catalogues=()
for cat in "$cats"/*.zex "$cats"/*.mur; do catalogues+=("$(basename "$cat")"); done

step "listings under Wine against Linux"
linux_cathost=$root/$linux_build/cathost
[ -x "$linux_cathost" ] || linux_cathost=$linux_build/cathost
win_cathost=$root/build-win64/cathost.exe
compared=0 items=0 failures=0 retries=0 recovered=0
for zone in UTC Asia/Kolkata; do
  for mode in text --json --raw; do
    for cat in "${catalogues[@]}"; do
      flags=(--keep-going)
      [ "$mode" != text ] && flags+=("$mode")
      base=$work/out/$(echo "$zone" | tr / _)/$cat$mode
      mkdir -p "$(dirname "$base")"
      linux_status=0
      (cd "$cats" && TZ=$zone "$linux_cathost" "${flags[@]}" "$cat") >"$base.linux" \
        2>"$base.linux.err" || linux_status=$?
      # A second run only when the first differs, so that a fault of Wine's own start-up
      # (counted and reported) does not pass for ours; a fault of ours differs both times.
      for attempt in 1 2; do
        wine_status=0
        (cd "$cats" && TZ=$zone run_wine "$win_cathost" "${flags[@]}" "$cat") >"$base.wine" \
          2>"$base.wine.crlf" || wine_status=$?
        # Messages go to the console, where Windows ends lines with CR LF; the listing is bytes.
        tr -d '\r' <"$base.wine.crlf" >"$base.wine.err"
        same=1
        if [ $linux_status -ne $wine_status ] || ! cmp -s "$base.linux" "$base.wine" ||
          ! cmp -s "$base.linux.err" "$base.wine.err"; then
          same=0
        fi
        if [ $same = 1 ]; then
          [ $attempt = 2 ] && recovered=$((recovered + 1))
          break
        fi
        if [ $attempt = 1 ]; then
          retries=$((retries + 1))
          echo "retrying $cat $mode TZ=$zone: exit $wine_status, $(head -c 200 "$base.wine.err")"
        fi
      done
      compared=$((compared + 1))
      if [ "$mode" = --json ]; then items=$((items + $(wc -l <"$base.linux"))); fi
      if [ $same = 0 ]; then
        failures=$((failures + 1))
        echo "DIFFERENT: $cat $mode TZ=$zone (exit $linux_status on Linux, $wine_status under Wine)"
        diff "$base.linux" "$base.wine" | head -n 10 || true
        diff "$base.linux.err" "$base.wine.err" | head -n 4 || true
      fi
      [ -s "$base.linux" ] || {
        failures=$((failures + 1))
        echo "EMPTY: $cat $mode TZ=$zone"
      }
    done
  done
done
# The zone must have reached both sides: ZEX stamps are local times, listed in UTC.
for listing in basics.zextext basics.zex--json; do
  for side in linux wine; do
    if cmp -s "$work/out/UTC/$listing.$side" "$work/out/Asia_Kolkata/$listing.$side" ||
      [ ! -s "$work/out/UTC/$listing.$side" ]; then
      failures=$((failures + 1))
      echo "ZONE IGNORED: $listing is the same in UTC and Asia/Kolkata ($side)"
    fi
  done
done
echo "listings: $compared compared (${#catalogues[@]} catalogues x 3 modes x 2 zones)," \
  "$((items / 2)) items per zone, $failures different;" \
  "$retries Wine runs repeated, $recovered of them agreeing the second time"
overall=0
[ $failures -eq 0 ] || overall=1

step "charset and stamps: platform functions under Wine against the POSIX layer"
dumps=$work/dumps
mkdir -p "$dumps"
build-wincheck/dump/platform_dump layer "$dumps/posix.txt"
# Absolute Unix paths reach a Windows program as paths on drive Z:, which Wine maps to /.
run_wine build-win64/dump/platform_dump.exe system "$dumps/system.txt"
run_wine build-win64/dump/platform_dump.exe layer "$dumps/win32-layer.txt"
head -n 1 "$dumps/system.txt"
# The platform refuses 29 February of common years where Wine accepts it; our rule refuses it.
build-wincheck/dump/platform_dump compare "$dumps/posix.txt" "$dumps/system.txt" \
  --allow-feb29 || overall=1
# Our Win32 layer puts our rule first, so it must agree with the POSIX layer everywhere.
build-wincheck/dump/platform_dump compare "$dumps/posix.txt" "$dumps/win32-layer.txt" ||
  overall=1
# cathost32's emulated CharToOemA must be the system's table, byte for byte.
if [ -x "$linux_build/cathost32" ]; then
  "$linux_build/cathost32" --dump-charset >"$dumps/emulated.txt"
  if diff <(grep '^oem ' "$dumps/system.txt") "$dumps/emulated.txt"; then
    echo "emulated CharToOemA: all 256 bytes as the system's"
  else
    echo "emulated CharToOemA differs from the system's"
    overall=1
  fi
fi

step "done in $((SECONDS - stage_started))s"
[ $overall -eq 0 ] || echo "40-windows: FAILED" >&2
exit $overall

#!/usr/bin/env bash
# The shipped 32-bit DLLs, executed: cathost32 runs build-win32/{zex,mur}_fmt.dll in an i386
# emulator and
#   1. compares each, call by call, with the Linux module of the same format (every result
#      code and every byte of the records after every call) on the bundled samples, the
#      Windows stage's catalogues, every fuzz seed and regression input and seeded mutations
#      of each; at the preferred base and relocated, with the whole-file image and without,
#      in UTC and in Asia/Kolkata;
#   2. lists the samples and the Windows stage's catalogues as cathost does: the same text,
#      JSON and raw listings, messages and exit status;
#   3. lists with a heap that refuses from the Nth request on, so that every out-of-memory
#      path of the DLLs runs: no rule may break, no handle or heap block may be left;
#   4. shows that it can fail: deliberately broken DLLs must each be reported.
# Every call is bounded by the emulator's instruction budget; leaks, guard-page touches and
# broken calling conventions stop a run with status 13.
# MUTATIONS (default 12) sets the mutated copies per catalogue and pass; LINUX_BUILD the Linux
# build to use (default build).
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=scripts/lib/stage.sh
source scripts/lib/stage.sh

linux_build=${LINUX_BUILD:-build}
mutations=${MUTATIONS:-12}
relocated_base=0x10000000

step "builds: 32-bit DLLs (build-win32), cathost32 and the Linux modules ($linux_build)"
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 >/dev/null
default_preset_build "$linux_build" cathost32 cathost mkcat zex_fmt mur_fmt >/dev/null
cathost32=$linux_build/cathost32
cathost=$linux_build/cathost

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step "catalogues"
tests/support/make-test-catalogues.sh "$linux_build/mkcat" "$work/gen" >/dev/null
shopt -s nullglob
listed_zex=(samples/*.zex "$work"/gen/cats/*.zex)
listed_mur=(samples/*.mur "$work"/gen/cats/*.mur)
seeds_zex=(fuzz/corpus/zex_*/* fuzz/regressions/zex/*)
seeds_mur=(fuzz/corpus/mur_*/* fuzz/regressions/mur/*)
echo "ZEX: ${#listed_zex[@]} listed catalogues, ${#seeds_zex[@]} seeds;" \
  "MUR: ${#listed_mur[@]} listed catalogues, ${#seeds_mur[@]} seeds; $mutations mutations each"

step "call-by-call comparison with the Linux modules"
for format in zex mur; do
  if [ $format = zex ]; then cats=("${listed_zex[@]}" "${seeds_zex[@]}"); else
    cats=("${listed_mur[@]}" "${seeds_mur[@]}")
  fi
  for zone in UTC Asia/Kolkata; do
    for base in preferred $relocated_base; do
      for image in kept refused; do
        flags=(--module "build-win32/${format}_fmt.dll" --compare "$linux_build/${format}_fmt.so"
          --mutations "$mutations" --seed 1)
        [ $base != preferred ] && flags+=(--base $base)
        [ $image = refused ] && flags+=(--refuse-image)
        mkdir -p "$work/mutations"
        if ! summary=$(TZ=$zone "$cathost32" "${flags[@]}" "${cats[@]}" 2>"$work/compare.err"); then
          fail "${format}_fmt.dll TZ=$zone base $base image $image"
          head -n 20 "$work/compare.err"
        fi
        echo "${format}_fmt.dll TZ=$zone base $base image $image: ${summary#compared: }"
      done
    done
  done
done

step "listings against cathost"
compared=0
for zone in UTC Asia/Kolkata; do
  for base in preferred $relocated_base; do
    for mode in text --json --raw; do
      for cat in "${listed_zex[@]}" "${listed_mur[@]}"; do
        module=build-win32/zex_fmt.dll native=$linux_build/zex_fmt.so
        case $cat in *.mur) module=build-win32/mur_fmt.dll native=$linux_build/mur_fmt.so ;; esac
        flags=(--keep-going)
        [ $mode != text ] && flags+=($mode)
        base_flags=()
        [ $base != preferred ] && base_flags=(--base $base)
        linux_status=0 emulated_status=0
        TZ=$zone "$cathost" --module "$native" "${flags[@]}" "$cat" >"$work/linux.out" \
          2>"$work/linux.err" || linux_status=$?
        TZ=$zone "$cathost32" "${base_flags[@]}" --module "$module" "${flags[@]}" "$cat" \
          >"$work/emulated.out" 2>"$work/emulated.err" || emulated_status=$?
        # The messages name the module; the rest of them must be the same.
        sed -e "s|^cathost: |HOST: |" -e "s|$native|MODULE|g" "$work/linux.err" >"$work/linux.msg"
        sed -e "s|^cathost32: |HOST: |" -e "s|$module|MODULE|g" "$work/emulated.err" \
          >"$work/emulated.msg"
        compared=$((compared + 1))
        if [ $linux_status -ne $emulated_status ] || ! cmp -s "$work/linux.out" "$work/emulated.out" ||
          ! cmp -s "$work/linux.msg" "$work/emulated.msg"; then
          fail "listing $cat $mode TZ=$zone base $base (exit $linux_status on Linux, $emulated_status emulated)"
          diff "$work/linux.out" "$work/emulated.out" | head -n 6 || true
          diff "$work/linux.msg" "$work/emulated.msg" | head -n 6 || true
        fi
      done
    done
  done
done
echo "listings: $compared compared byte for byte with cathost's"

step "heaps that refuse"
runs=0
for cat in samples/*.zex samples/*.mur "$work"/gen/cats/nested.mur "$work"/gen/cats/basics.zex; do
  [ -f "$cat" ] || continue
  module=build-win32/zex_fmt.dll
  case $cat in *.mur) module=build-win32/mur_fmt.dll ;; esac
  for after in 0 1 2 3 4 5 6 8 12 16 32; do
    status=0
    "$cathost32" --refuse-after $after --module "$module" --count "$cat" >/dev/null \
      2>"$work/refuse.err" || status=$?
    runs=$((runs + 1))
    # 0 listed, 4 memory for the walk ran out, 5 OpenArchive failed: all sound answers.
    case $status in
      0 | 4 | 5) ;;
      *)
        fail "$module refusing after $after requests on $cat: exit $status"
        head -n 3 "$work/refuse.err"
        ;;
    esac
  done
done
echo "refusing heaps: $runs runs"

step "broken DLLs are reported"
mkdir -p build-win32/broken
expect_broken() {
  local breach=$1 expected=$2 status=0
  i686-w64-mingw32-g++ -std=c++20 -O2 -shared -static -static-libgcc -static-libstdc++ \
    -DBREAK_"$breach" -o "build-win32/broken/$breach.dll" tests/hosts/cathost32/win32/broken_module.cpp \
    modules/interface/format_module.def -Wl,--enable-stdcall-fixup
  "$cathost32" --budget 2000000 --module "build-win32/broken/$breach.dll" samples/utilities.zex \
    >/dev/null 2>"$work/broken.err" || status=$?
  if [ "$breach" = NONE ]; then
    [ $status -eq 0 ] || fail "the rule-keeping test DLL was reported (exit $status): $(cat "$work/broken.err")"
  elif [ $status -ne 13 ] || ! grep -q -- "$expected" "$work/broken.err"; then
    fail "$breach: exit $status, expected 13 and '$expected': $(cat "$work/broken.err")"
  else
    echo "$breach: $(head -n 1 "$work/broken.err")"
  fi
}
expect_broken NONE ""
expect_broken CALLER_CLEANS "GetArcItem: "
expect_broken WRITE_PAST_RECORD "GetArcItem: "
expect_broken ENDLESS "budget"
expect_broken HANDLE_LEAK "handle"

step "done in $((SECONDS - stage_started))s"
exit_if_failed

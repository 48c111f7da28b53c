#!/usr/bin/env bash
# The release packages: scripts/release.sh builds them, then
#   1. the zip and the tar.gz hold exactly the expected files, and the .deb is made (its
#      checks are 65-deb.sh's);
#   2. the DLLs of the Windows zip export the seven entry points, import from system
#      libraries only and carry a version resource with the project's version;
#   3. the programs of the Linux package run from where it was unpacked, through their links
#      in bin/: --version shows the project's version, and cathost finds the modules
#      beside it and lists the bundled samples.
# RELEASE_BUILD as for scripts/release.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
# shellcheck source=scripts/lib/stage.sh
source scripts/lib/stage.sh
build=${RELEASE_BUILD:-build-release}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

scripts/release.sh "$work/dist"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
linux=catalogue-modules-$version-linux-$(uname -m)
windows=catalogue-modules-$version-windows

# Files only (directories end in "/"), sorted.
contents() { cmake -E tar tf "$1" | grep -v '/$' | LC_ALL=C sort; }
check_contents() {
  local archive=$1 expected=$2
  if diff <(printf '%s\n' "$expected" | LC_ALL=C sort) <(contents "$archive"); then
    echo "$(basename "$archive"): $(contents "$archive" | wc -l) files, as expected"
  else
    fail "$(basename "$archive") holds other files than expected (diff above: < expected, > held)"
  fi
}

echo "-- contents"
programs=(cathost mkcat)
[ -x "$build/catmount" ] && programs+=(catmount)
[ -x "$build/catindex" ] && programs+=(catindex catfind)
[ -x "$build/catweb" ] && programs+=(catweb)
expected_linux=""
for program in "${programs[@]}"; do
  expected_linux+="$linux/bin/$program"$'\n'"$linux/lib/catalogue-modules/$program"$'\n'
done
for file in zex_fmt.so mur_fmt.so; do
  expected_linux+="$linux/lib/catalogue-modules/$file"$'\n'
done
for file in README.md LICENSE CHANGELOG.md; do
  expected_linux+="$linux/share/doc/catalogue-modules/$file"$'\n'
done
# Manual pages where scdoc made them; bash completions.
for program in "${programs[@]}"; do
  [ -f "$build/man/$program.1" ] && expected_linux+="$linux/share/man/man1/$program.1"$'\n'
  expected_linux+="$linux/share/bash-completion/completions/$program"$'\n'
done
check_contents "$work/dist/$linux.tar.gz" "${expected_linux%$'\n'}"

expected_windows=""
for file in zex_fmt.dll mur_fmt.dll x64/zex_fmt.dll x64/mur_fmt.dll INSTALL.txt LICENSE.txt \
  CHANGELOG.md; do
  expected_windows+="$windows/$file"$'\n'
done
check_contents "$work/dist/$windows.zip" "${expected_windows%$'\n'}"

deb=$work/dist/catalogue-modules_${version}_$(dpkg --print-architecture).deb
if [ -f "$deb" ]; then echo "$(basename "$deb"): made"; else fail "$(basename "$deb") was not made"; fi

echo "-- the Windows DLLs"
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$work/dist/$windows.zip" &&
  cmake -E tar xzf "$work/dist/$linux.tar.gz")
dlls=$work/unpacked/$windows
scripts/windows/check-exports.sh i686-w64-mingw32-objdump pei-i386 "$dlls"/*.dll ||
  fail "32-bit DLLs: exports or imports"
scripts/windows/check-exports.sh x86_64-w64-mingw32-objdump pei-x86-64 "$dlls"/x64/*.dll ||
  fail "x86-64 DLLs: exports or imports"
scripts/windows/check-version.sh "$version" "$dlls"/*.dll "$dlls"/x64/*.dll ||
  fail "version resources"

echo "-- the Linux programs, unpacked"
unpacked=$work/unpacked/$linux
for program in "${programs[@]}"; do
  shown=$("$unpacked/bin/$program" --version) || fail "$program --version failed"
  shown=${shown%%$'\n'*}  # the first line; catmount adds FUSE's version on a second
  [[ "$shown" == "$program "* && " $shown " == *" $version "* ]] ||
    fail "$program --version: $shown"
  echo "$shown"
done
if (cd "$root" && "$unpacked/bin/cathost" --count samples/*) >"$work/count.txt"; then
  cat "$work/count.txt"
else
  fail "the unpacked cathost does not list the samples"
fi

exit_if_failed
echo "60-release: the packages as expected"

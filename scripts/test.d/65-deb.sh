#!/usr/bin/env bash
# The Debian package: scripts/release.sh --linux-only makes it from the release build (which
# 60-release.sh has built: nothing is compiled again), then
#   1. it holds exactly what the install rules install for /usr, with the documents and the
#      manual pages as Debian wants them; its control fields and Depends are as expected;
#   2. lintian reports no error (its whole output is shown);
#   3. as root: apt-get installs it, resolving Depends from the archive; every program runs
#      from /usr/bin and finds the modules without --module (cathost lists the samples as the
#      build's own cathost does, catmount mounts one, and mount -t fuse.catmount the folder
#      of samples (umount unmounts it), mkcat writes catalogues that cathost
#      lists, catindex indexes the samples, catfind finds an item and catweb serves it);
#      apt-get purge leaves none of its files or folders behind, nor a dependency that the
#      install brought in.
# Without root the installation is skipped, saying so. RELEASE_BUILD as for
# scripts/release.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
# shellcheck source=scripts/lib/stage.sh
source scripts/lib/stage.sh
build=${RELEASE_BUILD:-build-release}
package=catalogue-modules
work=$(mktemp -d)
chmod 0755 "$work"  # apt's sandbox user reads the .deb from here
mounted=""
installed=0
web=""
new_packages=()
cleanup() {
  [ -n "$web" ] && kill "$web" 2>/dev/null
  [ -n "$mounted" ] && fusermount3 -u "$mounted" 2>/dev/null
  if [ $installed -eq 1 ]; then
    apt-get purge -y -q "$package" "${new_packages[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

scripts/install-deps.sh package
scripts/release.sh --linux-only "$work/dist"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb=$work/dist/${package}_${version}_$arch.deb
built=$(cd "$build" && pwd)
[ -f "$deb" ] || { echo "65-deb: $deb was not made" >&2; exit 1; }

echo "-- contents"
# Expected: what the install rules put under /usr, with Debian's names and compression.
DESTDIR="$work/installed" cmake --install "$build" --prefix /usr >/dev/null
expected=$(cd "$work/installed" && find usr ! -type d | while IFS= read -r path; do
  case $path in
    "usr/share/doc/$package/LICENSE") echo "./usr/share/doc/$package/copyright" ;;
    "usr/share/doc/$package/CHANGELOG.md")
      echo "./usr/share/doc/$package/CHANGELOG.md.gz"
      echo "./usr/share/doc/$package/changelog.gz" ;;
    usr/share/man/*) echo "./$path.gz" ;;
    "usr/share/doc/$package/"*)
      if [ "$(stat -c %s "$path")" -gt 4096 ]; then echo "./$path.gz"; else echo "./$path"; fi ;;
    *) echo "./$path" ;;
  esac
done | LC_ALL=C sort)
held=$(dpkg-deb --fsys-tarfile "$deb" | tar tf - | grep -v '/$' | LC_ALL=C sort)
if diff <(printf '%s\n' "$expected") <(printf '%s\n' "$held"); then
  echo "$(printf '%s\n' "$held" | wc -l) files, as the install rules install them"
else
  fail "the package holds other files than expected (diff above: < expected, > held)"
fi
for file in usr/bin/cathost usr/bin/mkcat usr/bin/catmount usr/bin/catindex usr/bin/catfind \
  usr/bin/catweb usr/lib/systemd/user/catweb.service \
  usr/lib/systemd/user/catindex.service usr/lib/systemd/user/catindex.timer \
  "usr/lib/$multiarch/$package/zex_fmt.so" "usr/lib/$multiarch/$package/mur_fmt.so" \
  "usr/share/doc/$package/copyright" "usr/share/doc/$package/changelog.gz"; do
  grep -qxF "./$file" <<<"$held" || fail "/$file is missing"
done
mkdir "$work/unpacked"
dpkg-deb -x "$deb" "$work/unpacked"
while IFS= read -r -d '' file; do
  file -b "$file" | grep -q "max compression" || fail "${file#"$work"/unpacked} is not gzip -9"
done < <(find "$work/unpacked" -name '*.gz' -print0)

echo "-- control"
field() { dpkg-deb -f "$deb" "$1"; }
for expected_field in "Package=$package" "Version=$version" "Architecture=$arch" \
  "Section=utils" "Priority=optional"; do
  name=${expected_field%%=*}
  [ "$(field "$name")" = "${expected_field#*=}" ] || fail "$name: $(field "$name")"
done
depends=$(field Depends)
echo "Depends: $depends"
depended=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
for dependency in libc6 libstdc++6 libgcc-s1 libfuse3-3 libsqlite3-0 fuse3; do
  grep -qxF "$dependency" <<<"$depended" || fail "Depends lacks $dependency"
done
if [ -z "$(field Maintainer)" ] || [ -z "$(field Description)" ]; then
  fail "no Maintainer or Description"
fi

echo "-- lintian"
# Exit status 1 means tags at error level, which the E: lines show; 2 and up, that it failed.
status=0
lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 || status=$?
grep -v '^running with root privileges' "$work/lintian.txt" || true
if [ $status -gt 1 ]; then
  fail "lintian did not run (exit status $status)"
elif grep -q '^E:' "$work/lintian.txt"; then
  fail "lintian reports errors"
else
  echo "lintian: no errors, $(grep -c '^W:' "$work/lintian.txt" || true) warnings"
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "-- installation skipped: apt-get install needs root"
  exit_if_failed
  echo "65-deb: the package as expected (not installed)"
  exit 0
fi

echo "-- install"
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'installed'; then
  echo "65-deb: $package is already installed here; the stage would replace it" >&2
  exit 1
fi
before=$(dpkg-query -W -f='${Package}:${Architecture}\n' | LC_ALL=C sort)
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb"
after=$(dpkg-query -W -f='${Package}:${Architecture}\n' | LC_ALL=C sort)
while IFS= read -r new; do
  [ "${new%%:*}" = "$package" ] || new_packages+=("$new")
done < <(comm -13 <(printf '%s\n' "$before") <(printf '%s\n' "$after"))
echo "brought in with it: ${new_packages[*]:-nothing}"
dpkg -L "$package" >"$work/dpkg-L.txt"

echo "-- the installed programs"
cd "$work"
for program in cathost mkcat catmount catindex catfind catweb; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not /usr/bin/$program"
  shown=$("/usr/bin/$program" --version) || fail "$program --version failed"
  shown=${shown%%$'\n'*}  # the first line; catmount adds FUSE's version on a second
  [[ "$shown" == "$program "* && " $shown " == *" $version "* ]] ||
    fail "$program --version: $shown"
  echo "$shown"
done

# cathost without --module lists every sample as the build's cathost (modules beside it) does.
for sample in "$root"/samples/*; do
  if /usr/bin/cathost "$sample" >"$work/listed.txt" &&
    "$built/cathost" "$sample" >"$work/built.txt" &&
    cmp -s "$work/listed.txt" "$work/built.txt"; then
    echo "cathost $(basename "$sample"): $(wc -l <"$work/listed.txt") items"
  else
    fail "/usr/bin/cathost lists $(basename "$sample") otherwise than the build's cathost"
  fi
done

# mkcat writes each format; cathost lists what was written.
mkdir -p "$work/tree/DOCS"
echo "notes" >"$work/tree/DOCS/NOTES.TXT"
echo "data" >"$work/tree/DATA.BIN"
for format in zex mur; do
  if /usr/bin/mkcat "$format" "$work/tree.$format" "$work/tree" &&
    /usr/bin/cathost "$work/tree.$format" >"$work/tree-$format.txt" &&
    grep -q 'DOCS\\NOTES.TXT' "$work/tree-$format.txt" && grep -q 'DATA.BIN' "$work/tree-$format.txt"; then
    echo "mkcat $format: cathost lists $(wc -l <"$work/tree-$format.txt") items"
  else
    fail "mkcat $format: cathost does not list what it wrote"
  fi
done

# catindex indexes the samples; catfind finds an item of each.
if /usr/bin/catindex --db "$work/index.sqlite" "$root/samples" &&
  /usr/bin/catfind --db "$work/index.sqlite" COMMAND.COM >"$work/found.txt" &&
  grep -q 'utilities.zex' "$work/found.txt"; then
  echo "catfind COMMAND.COM: $(head -1 "$work/found.txt")"
else
  fail "catfind does not find COMMAND.COM after catindex"
fi

# catweb serves that index: its search API finds the same item over HTTP.
/usr/bin/catweb --db "$work/index.sqlite" --listen 127.0.0.1:0 2>"$work/catweb.err" &
web=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's|.* at http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$work/catweb.err")
  [ -n "$port" ] && break
  sleep 0.1
done
answer=""
if [ -n "$port" ] && exec 3<>"/dev/tcp/127.0.0.1/$port"; then
  printf 'GET /api/search?q=COMMAND.COM HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n' \
    "$port" >&3
  answer=$(cat <&3)
  exec 3<&-
fi
kill "$web" 2>/dev/null || true
wait "$web" || fail "catweb did not stop with status 0 on SIGTERM"
web=""
if grep -q '"path":"COMMAND.COM"' <<<"$answer"; then
  echo "catweb: /api/search?q=COMMAND.COM answers $(grep -o '"catalogue":"[^"]*"' <<<"$answer" | head -1)"
else
  fail "catweb does not serve the index: $(head -c 300 "$work/catweb.err") ${answer:0:300}"
fi

# catmount mounts a sample, without --module.
if [ -c /dev/fuse ] && : 2>/dev/null <>/dev/fuse; then
  mkdir "$work/mnt"
  if /usr/bin/catmount "$root/samples/utilities.zex" "$work/mnt"; then
    mounted=$work/mnt
    ls -l "$work/mnt"
    [ -f "$work/mnt/COMMAND.COM" ] || fail "catmount: the mount does not show COMMAND.COM"
    if fusermount3 -u "$work/mnt"; then
      mounted=""
    else
      fail "fusermount3 -u failed"
    fi
  else
    fail "catmount did not mount utilities.zex"
  fi
  # As mount(8) does it, by its file system type, with the installed catmount: a folder of
  # catalogues, read-only, then umount.
  if mount -t fuse.catmount "$root/samples" "$work/mnt" -o ro,allow_other,nofail,cache_mib=16; then
    mounted=$work/mnt
    grep " $work/mnt " /proc/self/mounts
    grep -q " $work/mnt fuse.catmount ro," /proc/self/mounts ||
      fail "mount -t fuse.catmount: not a read-only fuse.catmount mount"
    [ -f "$work/mnt/utilities.zex/COMMAND.COM" ] ||
      fail "mount -t fuse.catmount: the folder's catalogue does not show COMMAND.COM"
    if umount "$work/mnt"; then
      mounted=""
    else
      fail "umount failed"
    fi
  else
    fail "mount -t fuse.catmount did not mount the samples"
  fi
else
  echo "catmount: skipped, /dev/fuse is missing or cannot be opened"
fi
cd "$root"

echo "-- purge"
apt-get purge -y -q "$package" "${new_packages[@]}"
installed=0
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'installed'; then
  fail "$package is still installed"
fi
left=0
while IFS= read -r path; do
  [ -d "$path" ] && continue  # shared folders such as /usr/bin stay
  if [ -e "$path" ] || [ -L "$path" ]; then
    fail "$path is left after the purge"
    left=$((left + 1))
  fi
done <"$work/dpkg-L.txt"
for folder in "/usr/lib/$multiarch/$package" "/usr/share/doc/$package"; do
  [ ! -e "$folder" ] || fail "$folder is left after the purge"
done
[ $left -eq 0 ] && echo "purged: none of the $(wc -l <"$work/dpkg-L.txt") paths it listed is left"

exit_if_failed
echo "65-deb: the package as expected, installed, run and purged"

#!/usr/bin/env bash
# Makes the Debian binary package from a tree installed with the system layout
# (DESTDIR=ROOT cmake --install BUILD --prefix /usr --strip):
#   OUTDIR/catalogue-modules_VERSION_ARCH.deb
# It compresses the manual pages and the documents as Debian policy asks (gzip -9n; LICENSE
# becomes copyright; changelog.gz in Debian's format names the version and points to the
# project's CHANGELOG.md.gz), computes Depends from the programs and
# modules (dpkg-shlibdeps, plus fuse3 for fusermount3) and builds with dpkg-deb, files
# owned by root. ROOT is changed in place.
# The Maintainer field is DEB_MAINTAINER when set.
#
#   packaging/debian/make-deb.sh ROOT OUTDIR VERSION
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: make-deb.sh ROOT OUTDIR VERSION" >&2; exit 64; }
root=$(cd "$1" && pwd)
out=$(cd "$2" && pwd)
version=$3
package=catalogue-modules
maintainer=${DEB_MAINTAINER:-Catalogue Modules Maintainers <maintainers@catalogue-modules.invalid>}
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
docs=$root/usr/share/doc/$package

for required in "$root/usr/bin/cathost" "$root/usr/lib/$multiarch/$package/zex_fmt.so" \
  "$docs/LICENSE" "$docs/CHANGELOG.md"; do
  [ -e "$required" ] || { echo "make-deb: $required is missing" >&2; exit 1; }
done

# Documents: the licence as copyright (never compressed), the project's changelog compressed,
# and anything larger than 4 kB compressed. A native package's changelog.gz is in Debian's
# format: one entry for the version, dated by the last commit (else now), that points to the
# project's own.
mv "$docs/LICENSE" "$docs/copyright"
gzip -9n "$docs/CHANGELOG.md"
find "$docs" -type f ! -name copyright ! -name '*.gz' -size +4k -exec gzip -9n {} +
stamp=$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null || date +%s)
cat >"$docs/changelog" <<EOF
$package ($version) unstable; urgency=medium

  * Release $version: the changes are in CHANGELOG.md.gz beside this file.

 -- $maintainer  $(LC_ALL=C date -u -R -d "@$stamp")
EOF
gzip -9n "$docs/changelog"

# Manual pages: every page compressed, and links to pages made to point at the compressed
# page.
if [ -d "$root/usr/share/man" ]; then
  find "$root/usr/share/man" -type f ! -name '*.gz' -exec gzip -9n {} +
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    case $target in *.gz) continue ;; esac
    ln -s "$target.gz" "$link.gz"
    rm "$link"
  done < <(find "$root/usr/share/man" -type l -print0)
fi

# The programs and modules.
elves=()
while IFS= read -r -d '' file; do
  if head -c 4 "$file" | cmp -s - <(printf '\177ELF'); then elves+=("$file"); fi
done < <(find "$root/usr" -type f -print0 | LC_ALL=C sort -z)

# Sections that only say which compiler made a file (install --strip keeps them).
strip --remove-section=.comment --remove-section=.note "${elves[@]}"

# Modes as a package wants them, whatever the umask of the build.
chmod -R u+rwX,go+rX,go-w "$root"

# Depends: dpkg-shlibdeps reads a debian/control of the package, so it runs in a folder
# that holds one.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/debian"
printf 'Source: %s\nMaintainer: %s\n\nPackage: %s\nArchitecture: any\n' \
  "$package" "$maintainer" "$package" >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O "${elves[@]}" 2>"$work/shlibdeps.err") || {
  cat "$work/shlibdeps.err" >&2
  echo "make-deb: dpkg-shlibdeps failed" >&2
  exit 1
}
shlibs=${shlibs#shlibs:Depends=}
[ -n "$shlibs" ] || { echo "make-deb: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
depends=$shlibs
# catmount's mounts are undone with fusermount3.
if [ -e "$root/usr/bin/catmount" ]; then depends+=", fuse3"; fi

rm -rf "$root/DEBIAN"
mkdir -m 0755 "$root/DEBIAN"
(cd "$root" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) \
  >"$root/DEBIAN/md5sums"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
cat >"$root/DEBIAN/control" <<EOF
Package: $package
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $size
Depends: $depends
Section: utils
Priority: optional
Description: browse ZEX and MUR disk catalogues as archives
 Read-only format modules that let an archive-browsing host list ZEX and MUR
 disk catalogues as archives: every directory and file of a catalogue becomes
 an item with its path, attributes, size, time stamp and description.
 .
 The package holds the two modules and the programs that use them:
  - cathost, the reference host, lists catalogues as text, JSON or counts;
  - mkcat catalogues a directory tree as ZEX or MUR;
  - catmount mounts catalogues, or folders of them, as read-only file systems;
  - catindex keeps an SQLite index of every catalogue, which catfind searches
    (a systemd user timer brings it up to date daily);
  - catweb serves that index to a web browser: search, disks, folders and
    where their space went (a systemd user unit runs it from login on).
EOF
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

deb=$out/${package}_${version}_$arch.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"

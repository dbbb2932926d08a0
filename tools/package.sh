#!/usr/bin/env bash
# Builds the binary Debian package dist/pixelmote_<version>_amd64.deb from
# this clone (its tracked and new files, uncommitted changes included),
# installing what the build needs. The version is CMake's project(VERSION);
# debian/changelog and the AppStream release must name the same one.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
source tools/ensure-packages.sh

version=$(sed -n 's/^project(Pixelmote VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no project(VERSION) in CMakeLists.txt" >&2; exit 1; }

ensure_packages dpkg-dev debhelper build-essential git
changelog=$(dpkg-parsechangelog -l debian/changelog -S Version)
if [ "$changelog" != "$version" ]; then
  echo "package.sh: debian/changelog is at $changelog but CMakeLists.txt at $version;" \
    "add a changelog entry (dch -v $version)" >&2
  exit 1
fi
release=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' data/org.pixelmote.Pixelmote.metainfo.xml | head -n1)
if [ "$release" != "$version" ]; then
  echo "package.sh: the newest release in data/org.pixelmote.Pixelmote.metainfo.xml is $release, not $version" >&2
  exit 1
fi

# The package is built from a copy, so that neither build folders nor the
# debhelper files it leaves come near the clone.
stage=$ROOT/build-deb
rm -rf "$stage"
mkdir -p "$stage/pixelmote-$version"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$stage/pixelmote-$version"

cd "$stage/pixelmote-$version"
if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
  sudo=
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
  echo "Installing the package's build dependencies" >&2
  $sudo apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get build-dep -y -q --no-install-recommends \
    -o DPkg::Lock::Timeout=300 "$PWD" >&2
fi
jobs=$(nproc 2>/dev/null || echo 1)
DEB_BUILD_OPTIONS="nocheck noddebs parallel=$jobs" dpkg-buildpackage -b -us -uc >&2

mkdir -p "$ROOT/dist"
deb=pixelmote_${version}_$(dpkg-architecture -qDEB_HOST_ARCH).deb
cp "$stage/$deb" "$ROOT/dist/"
echo "$ROOT/dist/$deb"

#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get (as root), runs the
# installed batch command on a small tree, starts the installed window once
# offscreen and checks its first-start values, then purges the package and
# checks that nothing of it is left. Run by CI after the test suite.
# PIXELMOTE_DEB=FILE tries a package built already.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
source tools/ensure-packages.sh

fail() {
  echo "package-test: $*" >&2
  exit 1
}
apt() { DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 "$@" >&2; }

[ "$(id -u)" -eq 0 ] || fail "run as root: the package is installed and removed with apt-get"
version=$(sed -n 's/^project(Pixelmote VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
ensure_packages imagemagick man-db lintian desktop-file-utils appstream

# PIXELMOTE_DEB names a package built already; by default it is built here.
deb=${PIXELMOTE_DEB:-}
if [ -z "$deb" ]; then deb=$(bash tools/package.sh | tail -n1); fi
[ -f "$deb" ] || fail "no package built"
desktop-file-validate data/pixelmote.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net data/org.pixelmote.Pixelmote.metainfo.xml >&2 || fail "appstreamcli validate"
lintian --fail-on error "$deb" >&2 || fail "lintian reports errors"
if dpkg-query -W -f='${Status}' pixelmote 2>/dev/null | grep -q installed; then apt purge pixelmote; fi
apt install "$deb"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/installed"
export HOME=$work/home
unset XDG_CONFIG_HOME XDG_CONFIG_DIRS
mkdir -p "$HOME"

# The installed files and versions.
for f in /usr/bin/pixelmote /usr/bin/pixelmote-batch /etc/xdg/pixelmote/pixelmote.ini \
  /usr/share/applications/pixelmote.desktop /usr/share/metainfo/org.pixelmote.Pixelmote.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/pixelmote.svg /usr/share/icons/hicolor/48x48/apps/pixelmote.png \
  /usr/share/icons/hicolor/256x256/apps/pixelmote.png /usr/share/bash-completion/completions/pixelmote-batch \
  /usr/share/doc/pixelmote/copyright /usr/share/doc/pixelmote/changelog.gz; do
  [ -f "$f" ] || fail "$f is not installed"
done
[ "$(pixelmote-batch --version)" = "pixelmote-batch $version" ] || fail "pixelmote-batch --version: $(pixelmote-batch --version)"
[ "$(pixelmote --version)" = "pixelmote $version" ] || fail "pixelmote --version: $(pixelmote --version)"
# The manual pages are installed unless dpkg is set to leave them out.
for page in pixelmote pixelmote-batch; do
  if [ -f /usr/share/man/man1/$page.1.gz ]; then
    MANPAGER=cat MANWIDTH=80 man $page 2>/dev/null | grep -q "EXIT STATUS\|FILES" || fail "man $page does not render"
  fi
done

# The installed batch command on a small tree, run as root from /: it must
# keep its own files in the user's folder, never in /usr/bin.
mkdir -p "$work/pics/sub"
convert -size 64x48 xc:tomato "$work/pics/a.jpg"
convert -size 40x40 gradient:blue-yellow "$work/pics/sub/b.jpg"
(cd / && pixelmote-batch create "$work/pics" > "$work/batch.out") || fail "pixelmote-batch create failed"
for f in pics/t_a.jpg pics/index.html pics/sub/t_b.jpg pics/sub/index.html; do
  [ -f "$work/$f" ] || fail "pixelmote-batch create wrote no $f"
done
tail -n1 "$work/batch.out" | grep -q "^$work/pics: 1 folders, 2 files" ||
  fail "unexpected totals line: $(tail -n1 "$work/batch.out")"

# The installed window, offscreen, on a first start: it reads the start
# values from /etc/xdg, and a terminate signal closes it as Exit does, which
# writes the user's settings file.
mkdir -p "$work/start"
(cd "$work/start" && exec env QT_QPA_PLATFORM=offscreen pixelmote > "$work/window.log" 2>&1) &
pid=$!
for _ in $(seq 1 300); do
  # The handler is in place once SIGTERM (bit 15) shows among the caught signals.
  caught=$(sed -n 's/^SigCgt:\t*//p' "/proc/$pid/status" 2>/dev/null || true)
  if [ -n "$caught" ] && (((0x$caught >> 14) & 1)); then break; fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || { cat "$work/window.log" >&2; fail "the window ended with status $status"; }
settings=$HOME/.config/pixelmote/pixelmote.ini
[ -f "$settings" ] || fail "the window wrote no $settings"
expected="[Folder]
Path=$work/start
[Image]
Type=JPG
Thumb=JPG
Column=5
Border=1
Prefix=t_
Size=38
Quality=114
Smooth=0"
[ "$(cat "$settings")" = "$expected" ] || fail "first-start settings differ: $(cat "$settings")"
cmp -s /etc/xdg/pixelmote/pixelmote.ini data/xdg/pixelmote/pixelmote.ini || fail "the start values were changed"

written=$(find /usr/bin /etc/xdg -newer "$work/installed" 2>/dev/null || true)
[ -z "$written" ] || fail "the installed programs wrote into system folders: $written"

apt purge pixelmote
left=$(ls -d /usr/bin/pixelmote* /etc/xdg/pixelmote /usr/share/doc/pixelmote 2>/dev/null || true)
[ -z "$left" ] || fail "left after purge: $left"
echo "package-test: $(basename "$deb") built, installed, tried and purged"

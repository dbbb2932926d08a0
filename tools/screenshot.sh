#!/usr/bin/env bash
# Screenshot of the desktop window on a small generated picture folder, taken
# on a virtual X display:
#
#   tools/screenshot.sh [--report | --create] [--about] [--dark] [-o FILE]
#
#   --report   run a Report (Folder, Scan Report) before taking the picture
#   --create   run a Create (Folder, Create Thumbnails) before taking it
#   --about    open Help, About... and capture the About window instead
#   --dark     give the desktop a dark colour scheme (a KDE colour settings
#              file, which Qt reads on such a desktop)
#   -o FILE    where to write the PNG (default: docs/screenshot.png)
#
# PIXELMOTE_SHOT_SETTLE sets the seconds given to a run to finish (default 3).
# The program runs from a copy in a temporary folder, so it starts with the
# start values of data/xdg (as an installed one does) and leaves no settings
# file in the build folder.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${PIXELMOTE_BUILD_DIR:-$ROOT/build}
SETTLE=${PIXELMOTE_SHOT_SETTLE:-3}

die() {
  echo "screenshot: $*" >&2
  exit 1
}

# Prints the window's absolute position and size as WxH+X+Y.
window_geometry() {
  xwininfo -id "$1" | awk '
    /Absolute upper-left X:/ { x = $NF }
    /Absolute upper-left Y:/ { y = $NF }
    /^ *Width:/ { w = $NF }
    /^ *Height:/ { h = $NF }
    END { if (w && h) printf "%sx%s+%s+%s\n", w, h, x, y }'
}

# The first visible window whose name matches, waiting up to 30 s for it.
find_window() {
  timeout 30 xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | sed -n 1p || true
}

# Runs on the virtual display: starts the program, drives it, takes the picture.
inside() {
  local work=$1 report=$2 about=$3 out=$4
  cd "$work/Pictures"
  "$work/bin/pixelmote" >"$work/pixelmote.log" 2>&1 &
  APP_PID=$!
  trap 'kill "$APP_PID" 2>/dev/null || true; wait "$APP_PID" 2>/dev/null || true' EXIT

  local wid
  wid=$(find_window '^Pixelmote - ')
  if [ -z "$wid" ]; then
    cat "$work/pixelmote.log" >&2
    die "the main window did not appear"
  fi
  # Keystrokes reach the window only once it has the focus.
  xdotool windowfocus --sync "$wid"
  sleep 0.5

  # $report is the Folder menu's key of the run to make first, or 0.
  if [ "$report" != 0 ]; then
    xdotool key alt+f
    sleep 0.3
    xdotool key "$report"
    sleep "$SETTLE"
  fi

  local target=$wid
  if [ "$about" = 1 ]; then
    xdotool key alt+h
    sleep 0.3
    xdotool key a
    target=$(find_window '^About Pixelmote$')
    [ -n "$target" ] || die "the About window did not appear"
  fi
  sleep 0.5  # let the last changes paint

  local geometry
  geometry=$(window_geometry "$target")
  [ -n "$geometry" ] || die "cannot read the window's geometry"
  import -window root "$work/root.png"
  convert "$work/root.png" -crop "$geometry" +repage "$out"
  echo "screenshot: $geometry" >&2
}

if [ "${1:-}" = "--inside" ]; then
  shift
  inside "$@"
  exit
fi

report=0
about=0
dark=0
out=$ROOT/docs/screenshot.png
while [ $# -gt 0 ]; do
  case $1 in
    --report) report=s ;;
    --create) report=c ;;
    --about) about=1 ;;
    --dark) dark=1 ;;
    -o)
      [ $# -ge 2 ] || die "-o needs a file name"
      out=$2
      shift
      ;;
    -h | --help)
      sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *) die "unknown argument: $1 (try --help)" ;;
  esac
  shift
done

"$ROOT/tools/setup.sh"

source "$ROOT/tools/ensure-packages.sh"
ensure_packages xvfb xauth xdotool x11-utils imagemagick

[ -x "$BUILD/pixelmote" ] || die "$BUILD/pixelmote was not built"

WORK=$(mktemp -d /tmp/pixelmote-shot.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/bin" "$WORK/home" "$WORK/Pictures/Holiday" "$WORK/Pictures/Garden"
mkdir -m 700 "$WORK/runtime"
cp "$BUILD/pixelmote" "$WORK/bin/pixelmote"

# A few pictures of different sizes and shapes.
pics=$WORK/Pictures
convert -size 800x600 gradient:'#87ceeb-#1e3c72' \
  -fill '#2e7d32' -draw 'polygon 0,600 260,300 420,470 560,350 800,600' \
  -fill '#ffd54f' -draw 'circle 600,150 600,200' -quality 85 "$pics/Holiday/hills.jpg"
convert -size 640x480 gradient:'#ffb74d-#6a1b9a' \
  -fill '#263238' -draw 'rectangle 0,400 640,480' -quality 85 "$pics/Holiday/sunset.jpg"
convert -seed 7 -size 480x640 plasma:'#66bb6a-#fff176' -quality 85 "$pics/Garden/meadow.jpg"
convert -seed 11 -size 600x600 plasma:'#ef5350-#ffee58' -quality 85 "$pics/Garden/flowers.jpg"
convert -size 1024x768 pattern:checkerboard -quality 85 "$pics/tiles.jpg"

# The desktop's colour scheme: none (the style's light palette), or a dark
# one read through Qt's KDE desktop integration.
desktop_env=()
if [ "$dark" = 1 ]; then
  mkdir -p "$WORK/home/.config"
  cat >"$WORK/home/.config/kdeglobals" <<'EOF'
[Colors:Window]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241

[Colors:View]
BackgroundNormal=35,38,41
BackgroundAlternate=49,54,59
ForegroundNormal=239,240,241
ForegroundLink=41,128,185
ForegroundVisited=127,140,141

[Colors:Button]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241

[Colors:Selection]
BackgroundNormal=61,174,233
ForegroundNormal=239,240,241

[KDE]
widgetStyle=Fusion
EOF
  desktop_env=(XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5)
fi

mkdir -p "$(dirname "$out")"
tmp_out=$WORK/shot.png
# A fixed environment for a repeatable picture: no desktop theme (Fusion
# style), a plain locale, a private runtime folder and home.
env -u QT_QPA_PLATFORMTHEME -u QT_STYLE_OVERRIDE -u QT_SCALE_FACTOR -u XDG_CURRENT_DESKTOP -u KDE_SESSION_VERSION \
  "${desktop_env[@]}" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$WORK/runtime" HOME="$WORK/home" XDG_CONFIG_DIRS="$ROOT/data/xdg" LANG=C.UTF-8 LC_ALL=C.UTF-8 \
  PIXELMOTE_SHOT_SETTLE="$SETTLE" \
  xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside "$WORK" "$report" "$about" "$tmp_out"
cp "$tmp_out" "$out"
echo "Wrote $out" >&2

#!/usr/bin/env bash
# The installer in a real X session (Xvfb with openbox), driven with xdotool as a user would:
# as an unprivileged user whose /Applications is not writable, the first run fails; a click
# on "改为安装到我的应用程序" installs into ~/Applications; Return ("立即启动") starts the installed
# app and the installer ends. Meanwhile the X server is asked for the window's position and
# size after every change the server reports, and every 2 ms: the window must never move, not by one pixel, through all its resizes.
# A minimise asked of the window manager is undone, and the window offers neither minimise
# nor maximise. Skipped (exit 77, with the reason) where the tools are missing.
#   x_session_test.sh INSTALLER_BUNDLE X_WINDOW_TOOL [SCREENSHOT_FOLDER]
set -euo pipefail
bundle=$1
probe=$2
shots=${3:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
title="安装Tessuro"

for tool in Xvfb openbox xdotool; do
  if ! command -v "$tool" > /dev/null; then
    echo "SKIPPED: $tool is not installed (scripts/bootstrap.sh installs it)"
    exit 77
  fi
done
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: needs root for the sandbox"
  exit 77
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  pkill -u nobody -f "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
mkdir "$work/Applications" "$work/home"
cp -a "$bundle" "$work/Tessuro Installer.app"
chmod -R a+rX "$work"
chown nobody "$work/home"

exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp > /dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
xhost + > /dev/null 2>&1 || true   # the installer runs as nobody
openbox > /dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do xdotool search --class openbox > /dev/null 2>&1 && break; sleep 0.1; done
sleep 0.5

shot() { [ -z "$shots" ] || "$probe" shot "$shots/$1.png" "$title" 2> /dev/null || true; }
window() { xdotool search --name "$title" 2> /dev/null | head -n1; }
viewable() { [ "$("$probe" state "${1:-$title}" 2> /dev/null | head -n1)" = viewable ]; }
wait_for() { for _ in $(seq 300); do if eval "$1"; then return 0; fi; sleep 0.1; done; echo "timed out: $1"; return 1; }

"$probe" watch "$title" 60 > "$work/geometry" &
watcher=$!
pids+=($watcher)
"$here/sandbox.sh" --user nobody --home "$work/home" "$work/Applications" \
  "$work/Tessuro Installer.app/Contents/MacOS/Tessuro Installer" > "$work/installer.log" 2>&1 &
installer=$!
pids+=($installer)

wait_for '[ -n "$(window)" ]'
win=$(window)
# The run fails at once (/Applications is not writable for nobody): the window grows to the
# error and the two buttons.
wait_for viewable
sleep 1
shot 1-failed

# No minimise or maximise on offer; a minimise the window manager carries out is undone.
offered=$("$probe" state "$title" | tail -n1)
[ "$offered" = "functions: resize move close" ] || { echo "offered: $offered"; exit 1; }
xdotool windowminimize "$win" 2> /dev/null || true
sleep 0.5
wait_for viewable

# "改为安装到我的应用程序": centred, below "重试安装" in the window of one error line.
read -r width height < <(xdotool getwindowgeometry --shell "$win" | awk -F= '/WIDTH|HEIGHT/ {print $2}' | paste -sd' ')
xdotool mousemove --window "$win" $((width / 2)) $((height - 42)) click 1
wait_for '[ -d "$work/home/Applications/Tessuro.app/Contents/_CodeSignature" ]'
sleep 1
shot 2-installed
[ ! -e "$work/Applications/Tessuro.app" ] || { echo "installed into the unwritable /Applications?"; exit 1; }

kill "$watcher" 2> /dev/null || true   # the window's last size is in; it goes with Return
xdotool windowactivate --sync "$win" > /dev/null 2>&1 || true
# The press launches the app and ends the installer, whose window may be gone before the
# key's release reaches it: what counts is checked below.
xdotool key --window "$win" Return 2> /dev/null || true
wait_for '! kill -0 $installer 2> /dev/null'
wait_for 'pgrep -u nobody -f "home/Applications/Tessuro.app/Contents/MacOS/Tessuro" > /dev/null'
if [ -n "$shots" ]; then
  wait_for 'viewable Tessuro'
  sleep 1
  "$probe" shot "$shots/3-launched.png" Tessuro 2> /dev/null || true
fi

# Every position the window was seen at, with the sizes: one position only.
echo "the window as the X server saw it (seconds, client area's top-left, size):"
sed 's/^/  /' "$work/geometry"
positions=$(grep -v unmapped "$work/geometry" | awk '{print $2}' | sort -u)
sizes=$(grep -v unmapped "$work/geometry" | awk '{print $3}' | sort -u | wc -l)
[ "$(echo "$positions" | wc -l)" -eq 1 ] || { echo "the window moved: $positions"; exit 1; }
[ "$sizes" -ge 2 ] || { echo "expected at least two sizes, saw $sizes"; exit 1; }
echo "x session: failed into /Applications, installed into ~/Applications, launched; the window stayed at $positions"

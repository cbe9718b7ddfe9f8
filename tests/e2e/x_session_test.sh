#!/usr/bin/env bash
# The installer in a real X session (Xvfb with openbox), driven with xdotool as a user would,
# and read over the accessibility bus as a screen reader reads it (pyatspi, on a session bus
# of the session's own): as an unprivileged user whose /Applications is not writable and
# whose ~/Applications holds an older signed copy, the first run fails, and the error is
# announced as an alert. Only the keyboard is used from then on: Tab and Shift+Tab move
# through the shown buttons in reading order, a black ring round the focused one (read from
# the screen's pixels); Return, with the focus on "改为安装到我的应用程序", retries (into
# /Applications, which fails again at once, and is announced again); Space on
# "改为安装到我的应用程序" replaces the older copy with the payload and leaves nothing beside
# it; Return ("立即启动") starts the installed app and the installer ends (as it does when
# the window is closed after a failure). The screen reader's tree is compared in the failed,
# installing and installed states: roles, names, the error's text, nothing hidden.
# Meanwhile the X server is asked for the window's position and size after every change it
# reports, and every 2 ms: the window must never move, not by one pixel, through all its
# resizes. The window asks for neither minimise nor maximise (openbox, which ignores that
# request, draws both buttons all the same; the fixed size keeps maximise off), and a
# minimise carried out by the window manager is undone. Every step waits for the state it
# needs. Skipped (exit 77, with the reason) where the tools are missing.
#   x_session_test.sh BUILD_FOLDER [SCREENSHOT_FOLDER]   (the folder is made if missing)
set -euo pipefail
build=$1
shots=${2:-}
probe=$build/tests/x_window
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
title="安装Tessuro"

for tool in Xvfb openbox xdotool xprop dbus-daemon dbus-send gio desktop-file-validate /usr/bin/python3 /usr/libexec/at-spi-bus-launcher; do
  if ! command -v "$tool" > /dev/null; then
    echo "SKIPPED: $tool is not installed (scripts/bootstrap.sh installs it)"
    exit 77
  fi
done
if ! /usr/bin/python3 -c 'import pyatspi' 2> /dev/null; then
  echo "SKIPPED: python3-pyatspi is not installed (scripts/bootstrap.sh installs it)"
  exit 77
fi
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
mkdir -p "$work/Applications" "$work/home/Applications" "$work/run"
cp -a "$build/Tessuro Installer.app" "$work/Tessuro Installer.app"
payload="$work/Tessuro Installer.app/Contents/Resources/Payload/Tessuro.app"
installed=$work/home/Applications/Tessuro.app
# The older copy: the payload with another build number, signed by the development identity.
cp -a "$payload" "$installed"
perl -0pi -e 's{(<key>CFBundleVersion</key>\s*<string>)[^<]*}{${1}6}' "$installed/Contents/Info.plist"
"$build/tools/tessuro-codesign" sign --key "$build/development-identity/leaf-key.pem" \
  --certs "$build/development-identity/chain.pem" "$installed" > /dev/null
# A large file in the payload, so that the install lasts long enough to be read in its
# installing state; signed in by the development identity.
head -c 200M /dev/urandom > "$payload/Contents/Resources/large.bin"
"$build/tools/tessuro-codesign" sign --key "$build/development-identity/leaf-key.pem" \
  --certs "$build/development-identity/chain.pem" "$payload" > /dev/null
chmod -R a+rX "$work"
# The desktop user owns the home and the session's runtime folder (the buses' sockets).
touch "$work/events"
chown -R nobody "$work/home" "$work/run" "$work/events"
chmod 700 "$work/run"

# shellcheck source=tests/e2e/wait_for.sh
. "$here/wait_for.sh"
window() { xdotool search --name "^$title\$" 2> /dev/null | head -n1; }
viewable() { [ -n "$(xdotool search --onlyvisible --name "^${1:-$title}\$" 2> /dev/null)" ]; }
height() { xdotool getwindowgeometry --shell "$win" | sed -n 's/^HEIGHT=//p'; }
unmaps() { grep -c unmapped "$work/geometry" || true; }
# The pictures for the README, when a folder is given: a moment for the window to draw first.
shot() {
  [ -z "$shots" ] || { sleep 1; "$probe" shot "$shots/$1.png" "${2:-$title}" 2> /dev/null; } ||
    echo "no picture saved: $shots/$1.png"
}
[ -z "$shots" ] || mkdir -p "$shots"

exec 3> "$work/display"
# Without an authority file Xvfb takes every local client (the installer runs as nobody);
# it does not reset when its first client, the probe below, goes.
Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp -noreset > "$work/xvfb.log" 2>&1 &
xvfb=$!
pids+=($xvfb)
# What the X server and the window manager said, when the session does not come up.
session_failed() {
  kill -0 "$xvfb" 2> /dev/null || echo "Xvfb has ended"
  cat "$work/xvfb.log" "$work/openbox.log" 2> /dev/null
  exit 1
}
wait_for '[ -s "$work/display" ]' "Xvfb to name its display" || session_failed
export DISPLAY=":$(head -n1 "$work/display")"
wait_for 'xprop -root > /dev/null 2>&1' "Xvfb to answer on $DISPLAY" || session_failed
# Without the iconify animation, which moves the frame through the screen as it restores.
echo '<openbox_config><theme><animateIconify>no</animateIconify></theme></openbox_config>' \
  > "$work/openbox.xml"
openbox --config-file "$work/openbox.xml" > "$work/openbox.log" 2>&1 &
pids+=($!)
# Openbox names its check window on the root once it manages the screen; a window mapped
# before would be placed twice.
wait_for 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' "openbox" || session_failed

# The desktop user's session bus, on which the accessibility bus is found, switched on as a
# screen reader switches it on; the screen reader's side runs as that user too.
as_user() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
    env HOME="$work/home" XDG_RUNTIME_DIR="$work/run" "$@"
}
DBUS_SESSION_BUS_ADDRESS=$(as_user dbus-daemon --session --fork --print-address=1 \
  --print-pid=3 --address="unix:dir=$work/run" 3> "$work/bus.pid" | head -n1)
export DBUS_SESSION_BUS_ADDRESS
pids+=("$(cat "$work/bus.pid")")
as_user dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
  org.freedesktop.DBus.Properties.Set string:org.a11y.Status string:IsEnabled \
  variant:boolean:true > /dev/null
# Debian's own Python, which has pyatspi (not one that PATH may find first).
a11y() { as_user /usr/bin/python3 "$here/a11y_probe.py" "$@"; }
# Every alert a screen reader hears of, one line each.
a11y listen "$work/events" &
pids+=($!)
wait_for 'grep -q listening "$work/events"' "the screen reader's side to listen"
alerts() { grep -c "^alert " "$work/events" || true; }
# The focused button's ring: the share of its outline in the ring's colour, from the screen.
ring() { "$probe" edge $(a11y extents "$1") '#000000' 2> /dev/null; }

# Starts the installer and waits for its run to fail at once (/Applications is not writable
# for nobody): the window grows to the error and the two buttons.
start_failing() {
  "$here/sandbox.sh" --user nobody --home "$work/home" "$work/Applications" \
    env -u XDG_DATA_HOME XDG_RUNTIME_DIR="$work/run" \
    "$work/Tessuro Installer.app/Contents/MacOS/Tessuro Installer" >> "$work/installer.log" 2>&1 &
  installer=$!
  pids+=($installer)
  wait_for '[ -n "$(window)" ]'
  win=$(window)
  wait_for viewable
  wait_for '[ "$(height)" -gt 260 ] 2> /dev/null'
}

# A user who gives up closes the window (Alt+F4, through openbox), and the installer ends;
# its window is gone before the next run starts, so that no step finds it in place of the
# next one.
start_failing
xdotool windowactivate --sync "$win" key alt+F4 > /dev/null 2>&1 ||
  { echo "the failed window could not be activated for Alt+F4"; exit 1; }
wait_for '! kill -0 $installer 2> /dev/null' "the installer to end after Alt+F4 on its failed window"
wait_for '[ -z "$(window)" ]' "the closed window to be gone"

"$probe" watch "$title" 600 > "$work/geometry" &
watcher=$!
pids+=($watcher)
start_failing
shot 1-failed

# No minimise or maximise on offer; a minimise the window manager carries out is undone.
# The MWM functions field: resize (0x2), move (0x4) and close (0x20), nothing else.
offered=$(xprop -id "$win" _MOTIF_WM_HINTS | sed 's/.*= //' | cut -d, -f2)
[ $((offered)) -eq $((0x26)) ] || { echo "functions offered: $offered"; exit 1; }
before=$(unmaps)
xdotool windowminimize "$win" 2> /dev/null || true
wait_for '[ "$(unmaps)" -gt "$before" ]'
wait_for viewable

# The screen reader's view of the failure, which it heard of as an alert; the window has the
# focus, and no button yet.
retry=重试安装 alternative=改为安装到我的应用程序
denied='无法写入文件夹“/Applications”：没有访问权限'
a11y expect failed "$denied" > "$work/tree-failed" || { cat "$work/tree-failed"; exit 1; }
wait_for '[ "$(alerts)" -ge 2 ]' "the error to be announced (once for each failed window)"
grep -qxF "alert $denied" "$work/events" || { echo "announced:"; cat "$work/events"; exit 1; }
wait_for '[ "$(xdotool getactivewindow)" = "$win" ]' "the window to have the focus"
# focus_after KEY NAME: KEY moves the focus to the button NAME, ringed, the other not.
focus_after() {
  local key=$1 to=$2 other=$retry
  [ "$to" != "$retry" ] || other=$alternative
  xdotool key "$key"
  wait_for '[ "$(a11y focused)" = "$to" ]' "$key to move the focus to $to"
  wait_for '[ "$(ring "$to")" -ge 90 ]' "the focus ring round $to"
  [ "$(ring "$other")" -eq 0 ] || { echo "a focus ring round $other too, after $key"; exit 1; }
}
focus_after Tab "$retry"
focus_after Tab "$alternative"
shot 2-focus-ring
focus_after Tab "$retry"
focus_after shift+Tab "$alternative"
# Return presses "重试安装" with the focus on the alternative: the retry fails at once, the
# error is announced again, and the focus comes back to the first button.
before=$(alerts)
xdotool key Return
wait_for '[ "$(alerts)" -gt "$before" ]' "the failed retry to be announced"
a11y expect failed "$denied" > /dev/null
wait_for '[ "$(a11y focused)" = "$retry" ]' "the focus back on $retry after the retry"
# Space presses the focused button: "改为安装到我的应用程序".
# The screen reader's side reads the window from before the key, so as not to miss a short
# install.
focus_after Tab "$alternative"
a11y expect installing > "$work/tree-installing" &
reader=$!
xdotool key space
wait "$reader" || { cat "$work/tree-installing"; exit 1; }
wait_for 'diff -r --no-dereference "$payload" "$installed" > /dev/null 2>&1' \
  "the older copy in ~/Applications to be replaced by the payload"
a11y expect installed > "$work/tree-installed" || { cat "$work/tree-installed"; exit 1; }
for state in failed installing installed; do
  echo "the screen reader's tree, $state:"
  sed 's/^/  /' "$work/tree-$state"
done
shot 3-installed
[ ! -e "$work/Applications/Tessuro.app" ] || { echo "installed into the unwritable /Applications?"; exit 1; }

# The window's last size is in (back to the status row's height); it goes with Return.
wait_for 'tail -n1 "$work/geometry" | grep -q " 400x260$"'
kill "$watcher"
# Return acts once the run has ended and "立即启动" shows: it launches the app and ends the
# installer, whose window may be gone before the key's release reaches it.
xdotool windowactivate --sync "$win" > /dev/null 2>&1 || true
wait_for '{ xdotool key --window "$win" Return 2> /dev/null || true; } && ! kill -0 $installer 2> /dev/null'
wait_for 'pgrep -u nobody -f "^$installed/Contents/MacOS/Tessuro" > /dev/null'
[ -z "$shots" ] || { wait_for 'viewable Tessuro' && shot 4-launched Tessuro; }
left=$(ls -A "$work/home/Applications")
[ "$left" = Tessuro.app ] || { echo "left beside the installed copy: $left"; exit 1; }

# The desktop lists the installed copy: an entry in the user's data folder, the user's own,
# that the desktop's validator accepts and that starts the installed copy.
entry=$work/home/.local/share/applications/com.vorlak.tessuro.psvalidation.desktop
[ -f "$entry" ] || { echo "no desktop entry at $entry"; ls -laR "$work/home/.local" 2>&1; exit 1; }
[ "$(stat -c %U "$entry")" = nobody ] || { echo "the entry is $(stat -c %U "$entry")'s"; exit 1; }
desktop-file-validate "$entry" || { echo "desktop-file-validate refused:"; cat "$entry"; exit 1; }
echo "the desktop entry:"
sed 's/^/  /' "$entry"
pkill -u nobody -f "^$installed/Contents/MacOS/Tessuro"
wait_for '! pgrep -u nobody -f "^$installed/Contents/MacOS/Tessuro" > /dev/null'
as_user gio launch "$entry"
wait_for 'pgrep -u nobody -f "^$installed/Contents/MacOS/Tessuro" > /dev/null' \
  "the desktop entry to start the installed copy"

# Every position the window was seen at, with the sizes: one position only.
echo "the window as the X server saw it (seconds, client area's top-left, size):"
sed 's/^/  /' "$work/geometry"
positions=$(grep -v unmapped "$work/geometry" | awk '{print $2}' | sort -u)
sizes=$(grep -v unmapped "$work/geometry" | awk '{print $3}' | sort -u | wc -l)
[ "$(echo "$positions" | wc -l)" -eq 1 ] || { echo "the window moved: $positions"; exit 1; }
[ "$sizes" -ge 2 ] || { echo "expected at least two sizes, saw $sizes"; exit 1; }
echo "x session: failed into /Applications (announced, and again after a retry by Return)," \
  "upgraded ~/Applications by Tab and Space, launched by Return; the window stayed at $positions"

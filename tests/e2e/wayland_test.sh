#!/usr/bin/env bash
# The installer in a Wayland session that offers XWayland too (weston with its X11 backend in
# Xvfb, so that xdotool can click on weston's output), run as an unprivileged user by its
# title-bar controls during an install: a running copy of the application, slow to quit,
# holds the install at its start while maximise, minimise and close are clicked where the
# window's title bar draws them. Each press and release is seen to reach the window, the
# process lives through every click and the window stays on the screen at its one size; the
# install completes with nothing left beside the installed copy, and the close control,
# refused during the install, then ends the installer.
# The session says it is a Wayland one (XDG_SESSION_TYPE=wayland), where Qt would choose
# Wayland by itself, draw its own bar with minimise and maximise, and die of a maximise.
# Every step waits for the state it needs. Skipped (exit 77, with the reason) where the
# tools are missing.
#   wayland_test.sh BUILD_FOLDER [SCREENSHOT_FOLDER]   (the folder is made if missing)
# The commands given to wait_for are evaluated there, when their variables are set.
# shellcheck disable=SC2016
set -euo pipefail
build=$1
shots=${2:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

for tool in Xvfb weston Xwayland xdotool xprop convert import setpriv; do
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
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2> /dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2> /dev/null || break; sleep 0.1; done
  done
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
mkdir -p "$work/Applications" "$work/home" "$work/run"
cp -a "$build/Tessuro Installer.app" "$work/Tessuro Installer.app"
payload="$work/Tessuro Installer.app/Contents/Resources/Payload/Tessuro.app"
installed=$work/Applications/Tessuro.app
# The install is held at its start by a running copy of the application that takes its time
# to quit: the run asks it to and waits (ten seconds at most) before it copies anything. The
# copy, a shell in a bundle with the payload's identifier, run as the user, quits once the
# test has made its clicks. It notes when it was asked.
identifier=$(sed -n '/<key>CFBundleIdentifier<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}' \
  "$payload/Contents/Info.plist")
mkdir -p "$work/Running.app/Contents/MacOS"
cp /bin/bash "$work/Running.app/Contents/MacOS/running"
cat > "$work/Running.app/Contents/Info.plist" << PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>$identifier</string>
<key>CFBundleExecutable</key><string>running</string>
</dict></plist>
PLIST
chmod -R a+rX "$work"
# The unprivileged user installs into a /Applications it may write, and owns the session's
# runtime folder (weston's socket) as a desktop user does.
chown nobody "$work/Applications" "$work/home" "$work/run"
chmod 700 "$work/run"

wait_seconds=120
# shellcheck source=tests/e2e/wait_for.sh
. "$here/wait_for.sh"
# Running, and not yet a process that has ended and waits to be reaped.
alive() { ps -o stat= -p "$installer" 2> /dev/null | grep -qv '^Z'; }
[ -z "$shots" ] || mkdir -p "$shots"
shot() { [ -z "$shots" ] || import -window root "$shots/$1.png"; }

exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp -noreset > "$work/xvfb.log" 2>&1 &
pids+=($!)
session_failed() {
  cat "$work/xvfb.log" "$work/weston.log" 2> /dev/null
  exit 1
}
wait_for '[ -s "$work/display" ]' "Xvfb to name its display" || session_failed
DISPLAY=":$(head -n1 "$work/display")"
export DISPLAY
wait_for 'xprop -root > /dev/null 2>&1' "Xvfb to answer on $DISPLAY" || session_failed

# weston's output is a window of the outer X server at its top-left corner, smaller than
# the screen; a plain dark background without the panel, so that the installer's window is
# what is bright. weston's window manager for X11 windows logs what it is told of them
# (the xwm-wm-x11 scope): a press on a window's frame is seen there.
output_w=1000 output_h=740
cat > "$work/weston.ini" << EOF
[core]
idle-time=0
[shell]
background-image=/nonexistent
background-color=0xff204060
panel-position=none
animation=none
startup-animation=none
close-animation=none
EOF
setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
  env HOME="$work/home" XDG_RUNTIME_DIR="$work/run" weston --config="$work/weston.ini" \
  --backend=x11-backend.so --xwayland --socket=tessuro-wl --logger-scopes=log,xwm-wm-x11 \
  --width=$output_w --height=$output_h > "$work/weston.log" 2>&1 &
pids+=($!)
wait_for '[ -S "$work/run/tessuro-wl" ]' "weston's socket" || session_failed
wait_for 'grep -q "xserver listening on display" "$work/weston.log"' "XWayland" || session_failed
xwayland_display=$(sed -n 's/.*xserver listening on display \(:[0-9]*\).*/\1/p' "$work/weston.log")

# A picture of weston's output, and whether something bright is within a few pixels of a
# point of it.
screen() {
  import -window root "$work/screen.ppm"
  convert "$work/screen.ppm" -crop "${output_w}x${output_h}+0+0" +repage -colorspace Gray \
    -threshold 50% "$work/output.pgm"
}
bright_near() {
  [ "$(convert "$work/output.pgm" -crop "20x20+$(($1 - 4))+$(($2 - 4))" +repage \
    -format '%[fx:maxima]' info:)" = 1 ]
}
# weston moves its pointer by how far the outer X server's pointer moved since it entered
# weston's window. Xvfb's pointer starts at the middle of its screen, inside that window
# from the moment it is made, so weston has seen it enter nowhere: its pointer would move
# by differences from a place it never knew, stop at the output's edges and part from where
# xdotool puts the pointer (presses aimed at a title bar then land above the window). The
# pointer leaves weston's window and comes back into it, and weston's cursor (the only
# bright thing on the background) is then seen where the pointer is, and there only.
xdotool mousemove $((output_w + 10)) $((output_h + 10))
wait_for 'xdotool getmouselocation | grep -q "x:$((output_w + 10)) "' "the pointer to leave weston's window"
follows() {
  xdotool mousemove "$1" "$2"
  screen
  bright_near "$1" "$2" && ! bright_near "$3" "$4"
}
wait_for 'follows 200 500 700 200' "weston's pointer at 200,500" || session_failed
wait_for 'follows 700 200 200 500' "weston's pointer at 700,200" || session_failed

# The installer's window on weston's output: the bounding box of what is bright (the
# background and the frame's shadow are dark; the pointer is moved to the bottom-left corner
# first, and what is drawn of it there is painted over).
locate() {
  xdotool mousemove 0 $((output_h - 1))
  screen
  read -r ww wh wx wy < <(convert "$work/output.pgm" -fill black \
    -draw "rectangle 0,$((output_h - 40)) 40,$output_h" \
    -trim -format '%w %h %X %Y\n' info: 2> /dev/null | tr -d '+')
  # A window both wider and taller than nothing at all.
  [ "$ww" -gt 300 ] && [ "$wh" -gt 200 ]
}
# The window where it has come to rest: found at the same place three times in a row.
settled() {
  local box=""
  for _ in 1 2 3; do
    locate || return 1
    [ -z "$box" ] || [ "$box" = "$ww $wh $wx $wy" ] || return 1
    box="$ww $wh $wx $wy"
    sleep 0.2
  done
}
# seen press|release: how many presses or releases of the left button reached the
# installer's window: on its frame, as weston's window manager saw them (an X11 window), or
# on its surface, as the installer's own protocol log tells (a Wayland client, with
# WAYLAND_DEBUG).
seen() {
  local event state frame surface
  case $1 in press) event=PRESS state=1 ;; release) event=RELEASE state=0 ;; esac
  frame=$(grep -c "XCB_BUTTON_$event (detail 1)" "$work/weston.log" || true)
  surface=$(grep -c "wl_pointer@[0-9]*\.button([0-9]*, [0-9]*, 272, $state)" \
    "$work/installer.log" || true)
  echo $((frame + surface))
}

# hold_install: starts the running copy afresh. Asked to quit (SIGTERM), it notes the time
# and quits once released.
hold_install() {
  rm -rf "$work/hold"
  mkdir "$work/hold"
  chown nobody "$work/hold"
  setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
    "$work/Running.app/Contents/MacOS/running" -c 'trap "date +%s > $0/asked
      until [ -e $0/release ]; do sleep 0.1; done; exit 0" TERM
    while :; do sleep 0.1; done' "$work/hold" &
  pids+=($!)
  wait_for 'pgrep -f "^$work/Running.app/Contents/MacOS/running" > /dev/null' "the running copy"
}
# Seconds since the run asked the running copy to quit.
held_for() { echo $(($(date +%s) - $(cat "$work/hold/asked"))); }
too_slow() {
  echo "the clicks took longer than the run waits for a running copy: too slow a machine"
  exit 1
}
# start_installer APPLICATIONS [VARIABLE=VALUE...]: the installer as the desktop user, in a
# session that calls itself Wayland and offers XWayland, with the variables given.
start_installer() {
  local apps=$1
  shift
  "$here/sandbox.sh" --user nobody --home "$work/home" "$apps" \
    env -u QT_QPA_PLATFORM -u QT_WAYLAND_DISABLE_WINDOWDECORATION XDG_SESSION_TYPE=wayland \
    XDG_RUNTIME_DIR="$work/run" WAYLAND_DISPLAY=tessuro-wl WAYLAND_DEBUG=client \
    DISPLAY="$xwayland_display" "$@" \
    "$work/Tessuro Installer.app/Contents/MacOS/Tessuro Installer" > "$work/installer.log" 2>&1 &
  installer=$!
  pids+=("$installer")
}

hold_install
start_installer "$work/Applications"
wait_for settled "the installer's window on weston's output"
wait_for '[ -s "$work/hold/asked" ]' "the run to ask the running copy to quit"
shot 1-installing
echo "the window on weston's output: ${ww}x${wh} at $wx,$wy"

# The title bar's controls, from the window's top-right corner: Qt's own bar (on Wayland)
# draws minimise, maximise and close at its right end, each answering over 18 pixels, 63,
# 40 and 17 pixels from the edge; weston's frame of an X11 window draws close (and, where
# it offers one, maximise) 20 and 50 pixels from it, each 27 pixels wide. The points below
# fall within both; the one for minimise is on the bar beside weston's maximise.
bar_dy=14 min_dx=67 max_dx=45 close_dx=20
# The installer's end, told by how the install stood.
ended() {
  echo "the installer ended $1"
  if [ -e "$installed" ]; then echo "(the install had completed)"; fi
  tail -n 5 "$work/installer.log"
  grep -F "error in client" "$work/weston.log" | tail -n 3
  exit 1
}
# click NAME DX: a click as a hand makes it on the control NAME, DX pixels from the window's
# right edge: the pointer comes to rest over the control and presses it. The button is let
# go once the press has reached the window, and the click is over once the release has:
# what the click does has then been handled by whoever drew the control. Each click is made
# on a window that has settled, so more than half a second after the press before: no two
# presses make a double click (which weston's frame takes as a maximise).
click() {
  local x=$((wx + ww - $2)) y=$((wy + bar_dy)) presses releases
  presses=$(seen press)
  releases=$(seen release)
  xdotool mousemove "$((x - 2))" "$y" sleep 0.1 mousemove "$x" "$y" sleep 0.1 mousedown 1
  wait_for "[ \"\$(seen press)\" -gt $presses ] || ! alive" "the press on $1 to reach the window"
  xdotool mouseup 1
  wait_for "[ \"\$(seen release)\" -gt $releases ] || ! alive" \
    "the release on $1 to reach the window"
}
# Maximise first: a minimise that is carried out would leave nothing to click.
for name in maximise minimise close; do
  case $name in maximise) dx=$max_dx ;; minimise) dx=$min_dx ;; close) dx=$close_dx ;; esac
  if [ -e "$installed" ] || [ "$(held_for)" -ge 9 ]; then too_slow; fi
  click "$name" "$dx"
  wait_for 'settled || ! alive' "the window on the screen after the click on $name"
  shot "2-after-$name"
  alive || ended "after a click on $name"
  echo "after the click on $name, the window: ${ww}x${wh} at $wx,$wy"
  # Its one size, whatever the click did (a maximise carried out is undone).
  if [ "$ww" -ge 500 ] || [ "$wh" -ge 400 ]; then echo "the window took another size"; exit 1; fi
done
[ "$(held_for)" -lt 10 ] || too_slow
touch "$work/hold/release"

# The install completes in a process that lived through the clicks.
wait_for 'diff -r --no-dereference "$payload" "$installed" > /dev/null 2>&1 || ! alive' \
  "the install to complete"
alive || ended "during the install"
left=$(ls -A "$work/Applications")
[ "$left" = Tessuro.app ] || { echo "left beside the installed copy: $left"; exit 1; }
wait_for 'settled || ! alive' "the window to be on the screen after the install"
shot 3-installed
alive || ended "after the install"
echo "wayland session: the window lived through maximise, minimise and close during the install"

# The same close control ends the installer once the install is over: the press that was
# refused was the close control's.
click close "$close_dx"
wait_for '! alive' "the installer to end on the close control after the install"
status=0
wait "$installer" || status=$?
[ "$status" -eq 0 ] || { echo "the installer ended with status $status"; tail -n 5 "$work/installer.log"; exit 1; }
echo "wayland session: the close control, refused during the install, ended the installer after it"

# A Wayland platform the user asked for (some desktops set it for every program): the window
# has no bar of Qt's but a row of its own. Its close button is refused during an install and
# ends the installer after it; dragging the row moves the window.
wait_for '! locate' "the first window to be gone from weston's output"
mkdir "$work/Applications2"
chown nobody "$work/Applications2"
installed=$work/Applications2/Tessuro.app
hold_install
start_installer "$work/Applications2" QT_QPA_PLATFORM=wayland
wait_for settled "the installer's window on Wayland on weston's output"
wait_for '[ -s "$work/hold/asked" ]' "the run to ask the running copy to quit"
shot 4-wayland-installing
echo "the window on Wayland: ${ww}x${wh} at $wx,$wy"
row_dx=$((close_dx + 60))
click close "$close_dx"
alive || ended "after a click on its own close button during the install"
before="$wx,$wy"
xdotool mousemove $((wx + ww - row_dx)) $((wy + bar_dy)) sleep 0.2 mousedown 1 sleep 0.2 \
  mousemove $((wx + ww - row_dx - 40)) $((wy + bar_dy + 40)) sleep 0.2 \
  mousemove $((wx + ww - row_dx - 80)) $((wy + bar_dy + 80)) sleep 0.2 mouseup 1
wait_for 'settled && [ "$wx,$wy" != "$before" ]' "the window to move by its row"
shot 5-wayland-moved
echo "dragged by its row, the window: ${ww}x${wh} at $wx,$wy (was at $before)"
[ "$(held_for)" -lt 10 ] || too_slow
touch "$work/hold/release"
wait_for 'diff -r --no-dereference "$payload" "$installed" > /dev/null 2>&1 || ! alive' \
  "the install on Wayland to complete"
alive || ended "during the install on Wayland"
wait_for 'settled || ! alive' "the window on Wayland after the install"
click close "$close_dx"
wait_for '! alive' "the installer on Wayland to end on its own close button after the install"
echo "wayland platform: the window's own row closed it after the install, not during it, and moved it"

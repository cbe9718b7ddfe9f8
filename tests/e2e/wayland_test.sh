#!/usr/bin/env bash
# The installer in a Wayland session that offers XWayland too (weston with its X11 backend in
# Xvfb, so that xdotool can click on weston's output), run as an unprivileged user by its
# title-bar controls during an install: a payload with one large file keeps the install
# going while minimise, maximise and close are clicked where the window's title bar draws
# them. The process lives through every click, the install completes with nothing left
# beside the installed copy, and the window is still on the screen.
# The session says it is a Wayland one (XDG_SESSION_TYPE=wayland), where Qt would choose
# Wayland by itself. Every step waits for the state it needs. Skipped (exit 77, with the
# reason) where the tools are missing.
#   wayland_test.sh BUILD_FOLDER [SCREENSHOT_FOLDER]   (the folder is made if missing)
set -euo pipefail
build=$1
shots=${2:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
title="安装Tessuro"

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
# One large file, which the install reads, copies and checks for a while, signed into the
# payload by the development identity.
head -c 1500M /dev/urandom > "$payload/Contents/Resources/large.bin"
"$build/tools/tessuro-codesign" sign --key "$build/development-identity/leaf-key.pem" \
  --certs "$build/development-identity/chain.pem" "$payload" > /dev/null
chmod -R a+rX "$work"
# The unprivileged user installs into a /Applications it may write, and owns the session's
# runtime folder (weston's socket) as a desktop user does.
chown nobody "$work/Applications" "$work/home" "$work/run"
chmod 700 "$work/run"

# wait_for COMMAND [STATE]: polls until COMMAND succeeds; fails after two minutes, naming
# the state it waited for.
wait_for() {
  local deadline=$((SECONDS + 120))
  until eval "$1"; do
    [ $SECONDS -lt $deadline ] || { echo "timed out waiting for ${2:-$1}"; return 1; }
    sleep 0.1
  done
}
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
export DISPLAY=":$(head -n1 "$work/display")"
wait_for 'xprop -root > /dev/null 2>&1' "Xvfb to answer on $DISPLAY" || session_failed

# weston's output is a window of the outer X server at its top-left corner; a plain
# dark background without the panel, so that the installer's window is what is bright.
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
EOF
setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
  env HOME="$work/home" XDG_RUNTIME_DIR="$work/run" weston --config="$work/weston.ini" \
  --backend=x11-backend.so --xwayland --socket=tessuro-wl \
  --width=$output_w --height=$output_h > "$work/weston.log" 2>&1 &
pids+=($!)
wait_for '[ -S "$work/run/tessuro-wl" ]' "weston's socket" || session_failed
wait_for 'grep -q "xserver listening on display" "$work/weston.log"' "XWayland" || session_failed
xwayland_display=$(sed -n 's/.*xserver listening on display \(:[0-9]*\).*/\1/p' "$work/weston.log")

# The installer's window on weston's output: the bounding box of what is bright (the
# background and the frame's shadow are dark; the pointer, drawn by weston, is moved to the
# bottom-left corner, and painted over there and where it starts, the top-left corner).
locate() {
  xdotool mousemove 1 $((output_h - 2)) mousemove 0 $((output_h - 1))
  import -window root "$work/screen.png"
  read -r ww wh wx wy < <(convert "$work/screen.png" -crop "${output_w}x${output_h}+0+0" +repage \
    -colorspace Gray -threshold 50% -fill black -draw "rectangle 0,$((output_h - 40)) 40,$output_h" -draw "rectangle 0,0 30,40" \
    -trim -format '%w %h %X %Y\n' info: 2> /dev/null | tr -d '+')
  # A window both wider and taller than nothing at all.
  [ "$ww" -gt 300 ] && [ "$wh" -gt 200 ]
}

"$here/sandbox.sh" --user nobody --home "$work/home" "$work/Applications" \
  env -u QT_QPA_PLATFORM -u QT_WAYLAND_DISABLE_WINDOWDECORATION XDG_SESSION_TYPE=wayland \
  XDG_RUNTIME_DIR="$work/run" WAYLAND_DISPLAY=tessuro-wl DISPLAY="$xwayland_display" \
  "$work/Tessuro Installer.app/Contents/MacOS/Tessuro Installer" > "$work/installer.log" 2>&1 &
installer=$!
pids+=($installer)
wait_for 'locate' "the installer's window on weston's output"
shot 1-installing
echo "the window on weston's output: ${ww}x${wh} at $wx,$wy"

# The title bar's controls, from the window's top-left corner: Qt's own bar (on Wayland)
# draws minimise, maximise and close at its right end; weston's frame of an X11 window that
# asks for neither minimise nor maximise draws close alone, where Qt draws it.
bar_y=$((wy + 15))
min_x=$((wx + 343)) max_x=$((wx + 366)) close_x=$((wx + 390))
if diff -r --no-dereference "$payload" "$installed" > /dev/null 2>&1; then
  echo "the install ended before the clicks: the payload is too small for this machine"
  exit 1
fi
# A click as a hand makes it: the pointer comes to rest over the control, then presses it.
press() {
  xdotool mousemove "$(($1 - 2))" "$bar_y" sleep 0.2 mousemove "$1" "$bar_y" sleep 0.3 \
    mousedown 1 sleep 0.1 mouseup 1
}
for name in minimise maximise close; do
  case $name in minimise) x=$min_x ;; maximise) x=$max_x ;; close) x=$close_x ;; esac
  press "$x"
  shot "2-after-$name"
  alive || { echo "the installer ended after a click on $name"; cat "$work/installer.log"; exit 1; }
done

# The install completes in a process that lived through the clicks.
wait_for 'diff -r --no-dereference "$payload" "$installed" > /dev/null 2>&1 || ! alive' \
  "the install to complete"
alive || { echo "the installer ended during the install"; cat "$work/installer.log"; exit 1; }
left=$(ls -A "$work/Applications")
[ "$left" = Tessuro.app ] || { echo "left beside the installed copy: $left"; exit 1; }
wait_for locate "the window to be on the screen after the install"
shot 3-installed

alive || { echo "the installer ended after the install"; exit 1; }
echo "wayland session: the window lived through minimise, maximise and close during the install"

#!/usr/bin/env bash
# Runs the window test program in a sandbox (see sandbox.sh) as USER, with copies of the
# installer bundle and the development root in a temporary folder that USER can read, a
# root-owned /Applications and a HOME of USER's own.
#   e2e_window.sh USER TEST_PROGRAM INSTALLER_BUNDLE ROOT_PEM
set -euo pipefail
user=$1 program=$2 bundle=$3 anchor=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir "$work/Applications" "$work/home"
cp -a "$bundle" "$work/Tessuro Installer.app"
cp "$program" "$work/window-test"
cp "$anchor" "$work/root.pem"
chmod -R a+rX "$work"
chown "$user" "$work/home"
export TESSURO_E2E_INSTALLER="$work/Tessuro Installer.app" TESSURO_E2E_ANCHOR="$work/root.pem"
export QT_QPA_PLATFORM=offscreen
"$here/sandbox.sh" --user "$user" --home "$work/home" "$work/Applications" "$work/window-test"

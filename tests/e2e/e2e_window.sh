#!/usr/bin/env bash
# Runs the window test program in a sandbox (see sandbox.sh) whose /Applications is an empty
# temporary folder, with a copy of the installer bundle that the program may tamper with.
#   e2e_window.sh TEST_PROGRAM INSTALLER_BUNDLE ROOT_PEM
set -euo pipefail
program=$1 bundle=$2 anchor=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/Applications" "$work/home"
cp -a "$bundle" "$work/Tessuro Installer.app"
export TESSURO_E2E_INSTALLER="$work/Tessuro Installer.app" TESSURO_E2E_ANCHOR="$anchor"
export QT_QPA_PLATFORM=offscreen
"$here/sandbox.sh" --home "$work/home" "$work/Applications" "$program"

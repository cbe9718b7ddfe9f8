#!/usr/bin/env bash
# Installs what is missing, builds the development installer (around the signed demo
# Tessuro.app) and starts it. It installs into /Applications, as the product does.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
scripts/bootstrap.sh default

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  cat >&2 <<'MSG'
The installer is a desktop program and there is no display here (DISPLAY is not set).
Run it inside a virtual one, which the build has installed:

    xvfb-run -a scripts/run.sh

or set DISPLAY to a running X server.
MSG
  exit 1
fi
exec "build/default/Tessuro Installer.app/Contents/MacOS/Tessuro Installer"

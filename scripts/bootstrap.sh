#!/usr/bin/env bash
# Installs the Debian packages the project builds with (only those that are missing),
# then configures and builds one preset. Usage: scripts/bootstrap.sh [preset]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
preset=${1:-default}

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qcoro-qt6-dev libplist-dev libssl-dev
  googletest libgtest-dev libgmock-dev clang-format git
  fonts-noto-cjk xvfb openbox xdotool x11-utils libx11-dev
  dbus at-spi2-core python3 python3-pyatspi python3-dbusmock desktop-file-utils libglib2.0-bin
  weston xwayland qt6-wayland imagemagick
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cd "$here"
cmake --preset "$preset"
cmake --build --preset "$preset"

#!/usr/bin/env bash
# Runs a command in a private mount namespace whose /Applications is a folder of the
# caller's: the root is a fresh tmpfs holding bind mounts of the machine's top-level
# folders, plus that Applications folder, and the command runs chrooted into it. Nothing the
# command writes to /Applications or /usr/local/share/applications reaches the machine's own. Needs root (CI and these
# machines run as root).
#
#   sandbox.sh [--user NAME] [--home DIR] APPLICATIONS_DIR COMMAND [ARG...]
#
# --user drops to that user (and its group) before the command; --home sets HOME.
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "sandbox.sh: needs root for a private mount namespace" >&2
    exit 77
  fi
  # The new root's mount point sits beside the caller's Applications folder, inside the
  # caller's temporary folder; every step below execs, so the command keeps this process.
  args=("$@")
  i=0
  while [ "${args[$i]}" = --user ] || [ "${args[$i]}" = --home ]; do i=$((i + 2)); done
  apps_arg=${args[$i]}
  root=$(mktemp -d "${apps_arg%/}.root.XXXXXX")
  exec unshare --mount --propagation private -- "$0" --inside "$root" "$@"
fi

shift
root=$1; shift
user=""
home=""
while [ $# -gt 0 ]; do
  case "$1" in
    --user) user=$2; shift 2 ;;
    --home) home=$2; shift 2 ;;
    *) break ;;
  esac
done
apps=$1; shift

mount -t tmpfs -o mode=755 tessuro-sandbox "$root"
for entry in /*; do
  name=${entry#/}
  [ "$name" = Applications ] && continue
  if [ -L "$entry" ]; then
    ln -s "$(readlink "$entry")" "$root/$name"
  elif [ -d "$entry" ]; then
    mkdir "$root/$name"
    if [ "$name" = tmp ]; then
      mount --bind "$entry" "$root/$name"   # not recursive: the sandbox root may live in /tmp
    else
      mount --rbind "$entry" "$root/$name"
    fi
  fi
done
mkdir "$root/Applications"
mount --bind "$apps" "$root/Applications"
# The desktop entries of applications in /Applications go to a private folder too: an empty
# tmpfs over the machine's /usr/local/share/applications (over /usr/local/share, whose other
# contents the command then does not see, where that folder does not exist).
if [ -d /usr/local/share/applications ]; then
  mount -t tmpfs -o mode=755 tessuro-sandbox-entries "$root/usr/local/share/applications"
elif [ -d /usr/local/share ]; then
  mount -t tmpfs -o mode=755 tessuro-sandbox-entries "$root/usr/local/share"
  mkdir "$root/usr/local/share/applications"
elif [ -d /usr/local ]; then
  mount -t tmpfs -o mode=755 tessuro-sandbox-entries "$root/usr/local"
  mkdir -p "$root/usr/local/share/applications"
else
  echo "sandbox.sh: no /usr/local to give a private folder of entries" >&2
  exit 1
fi

cd_to=$PWD
run=(/usr/bin/env)
[ -n "$home" ] && run+=("HOME=$home")
if [ -n "$user" ]; then
  group=$(id -gn "$user")
  run=(/usr/bin/setpriv --reuid="$user" --regid="$group" --clear-groups -- "${run[@]}")
fi
exec chroot "$root" /bin/sh -c 'cd "$1" 2>/dev/null || cd /; shift; exec "$@"' sh "$cd_to" "${run[@]}" "$@"

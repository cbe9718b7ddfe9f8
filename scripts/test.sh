#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs every test twice, in the
# normal build and in the sanitizer build (AddressSanitizer and UndefinedBehaviorSanitizer).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
jobs=$(nproc 2>/dev/null || echo 2)

for preset in default sanitize; do
  echo "== $preset build"
  scripts/bootstrap.sh "$preset"
  echo "== $preset tests"
  ctest --preset "$preset" -j "$jobs"
done

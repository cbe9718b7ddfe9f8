#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs every test in the normal
# build, then again in the sanitizer build (AddressSanitizer and UndefinedBehaviorSanitizer),
# where the install of a bundle of many files is left to the normal pass: under the
# sanitizers it takes many minutes. Both passes run, and each prints ctest's summary; the
# command fails when a build or a test of either pass failed.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
jobs=$(nproc 2>/dev/null || echo 2)

failed=()
for preset in default sanitize; do
  echo "== $preset build"
  scripts/bootstrap.sh "$preset"
  echo "== $preset tests"
  ctest --preset "$preset" -j "$jobs" || failed+=("$preset")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "== tests failed in: ${failed[*]}"
  exit 1
fi

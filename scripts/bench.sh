#!/usr/bin/env bash
# Builds and runs the install benchmark; it prints a Markdown table of medians and ratios.
#   scripts/bench.sh [--quick]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
scripts/bootstrap.sh default > /dev/null
exec build/default/bench/install-bench "$@"

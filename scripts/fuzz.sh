#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for SECONDS (default 60),
# as many at once as there are cores, starting from the seed corpora in fuzz/corpus.
# Findings land in build/fuzz/findings/<target>/; the grown corpora in build/fuzz/work/.
# Each target prints a line as it ends; the script fails when any target did.
#   scripts/fuzz.sh [SECONDS] [TARGET...]      (targets: fuzz/targets.txt)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(grep -v '^#' fuzz/targets.txt | grep .)
[ ${#targets[@]} -gt 0 ] || { echo "fuzz.sh: no targets in fuzz/targets.txt" >&2; exit 1; }

missing=()
for p in clang-14 libclang-rt-14-dev libplist-dev libssl-dev cmake ninja-build pkg-config; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
cmake --preset fuzz > /dev/null
cmake --build --preset fuzz

jobs=$(nproc 2>/dev/null || echo 2)
run_one() {
  local target=$1
  local work=build/fuzz/work/$target findings=build/fuzz/findings/$target
  mkdir -p "$work" "$findings"
  local status=0
  "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -artifact_prefix="$findings/" \
    -print_final_stats=1 "$work" "fuzz/corpus/$target" > "build/fuzz/$target.log" 2>&1 ||
    status=$?
  local verdict=ok
  [ "$status" -eq 0 ] || verdict="FAILED, see build/fuzz/$target.log"
  echo "$target: exit $status ($verdict), $(find "$work" -type f | wc -l) inputs in its corpus," \
    "$(grep -o 'stat::number_of_executed_units: *[0-9]*' "build/fuzz/$target.log" | grep -o '[0-9]*$' || true) runs"
  return "$status"
}
status=0
running=0
for target in "${targets[@]}"; do
  run_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
ls build/fuzz/findings/*/ 2>/dev/null | grep -v '^$' || true
[ "$status" -eq 0 ] || echo "fuzz.sh: a target failed (its line above says which)" >&2
exit $status

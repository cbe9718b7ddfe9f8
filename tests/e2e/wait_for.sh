# Sourced by the session tests. wait_for COMMAND [STATE]: polls until COMMAND succeeds;
# fails after $wait_seconds (a minute unless the test sets more), naming the state it waited
# for. COMMAND is evaluated here, when its variables are set.
wait_for() {
  local deadline=$((SECONDS + ${wait_seconds:-60}))
  until eval "$1"; do
    [ $SECONDS -lt $deadline ] || { echo "timed out waiting for ${2:-$1}"; return 1; }
    sleep 0.1
  done
}

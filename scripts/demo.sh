#!/usr/bin/env bash
# Shows the helper at work on a private session bus: start it, watch its events, talk to it
# with glimwick-ctl, and shut it down by command.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target glimwick glimwick-ctl >/dev/null
bin=build-release

out=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$out"
}
trap cleanup EXIT

bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(echo "$bus" | sed -n 1p)
pids+=("$(echo "$bus" | sed -n 2p)")
echo "private session bus: $DBUS_SESSION_BUS_ADDRESS"

"$bin/glimwick-ctl" watch > "$out/events" 2> "$out/watch.err" &
pids+=($!)
until grep -q watching "$out/watch.err"; do sleep 0.05; done

"$bin/glimwick" > "$out/helper.out" 2>&1 &
helper=$!
pids+=($helper)
# Its start diagnostic says the commands are registered.
for _ in $(seq 200); do grep -q '"启动"' "$out/events" && break; sleep 0.05; done

echo "--- ping"
"$bin/glimwick-ctl" ping --wait 5
echo "--- check-permission"
"$bin/glimwick-ctl" check-permission --wait 5
echo "--- shut down an outdated copy (this one, by naming another bundle path)"
"$bin/glimwick-ctl" shutdown-if-mismatch /nonexistent/Glimwick --wait 5 || true
wait "$helper" || true

echo "--- helper stdout"
cat "$out/helper.out"
echo "--- every event seen on the bus"
cat "$out/events"

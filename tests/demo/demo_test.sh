#!/usr/bin/env bash
# The README's first command, on a private desktop, with the suite's build: three selections,
# a clear, the helper's exit line and the screenshot. Usage: demo_test.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=$work/out  # the demo makes it anew
# Never the developer's own desktop: the demo would select in a window on it.
env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS \
  GLIMWICK_DEMO_BIN="$1" GLIMWICK_DEMO_OUT="$out" bash "$root/scripts/demo.sh" > "$work/demo.txt"
fail=0
expect() {  # expect WHAT ACTUAL WANTED
  if [ "$2" != "$3" ]; then echo "FAIL $1: $2, not $3"; fail=1; else echo "ok   $1"; fi
}
expect "selections reported" "$(grep -c '"com.corvala.app.selectionChanged"' "$out/events.jsonl")" 3
expect "clears reported" "$(grep -c '"com.corvala.app.selectionCleared"' "$out/events.jsonl")" 1
expect "the helper's exit line" \
  "$(grep -c '🛑 检测到旧 Helper，准备自行退出: ' "$work/demo.txt")" 1
expect "the screenshot" "$(identify -format '%m' "$out/selection.png" 2>/dev/null)" PNG
[ "$fail" -eq 0 ] || { cat "$work/demo.txt"; exit 1; }

#!/usr/bin/env bash
# Shows the helper at work: on the user's desktop when it has accessibility, otherwise on a
# private one started here. A GTK window shows known text; the script selects passages in it
# through the window, prints the events the main app would receive, saves a screenshot with
# the reported rectangle drawn on it, and shuts the helper down by command.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# GLIMWICK_DEMO_BIN: a build tree that has the three programs already (the test suite's);
# GLIMWICK_DEMO_OUT: where the results go.
if [ -n "${GLIMWICK_DEMO_BIN:-}" ]; then
  bin=$GLIMWICK_DEMO_BIN
else
  # The window shows Chinese text and a colour emoji: fonts for both.
  scripts/deps.sh demo
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$(nproc)" --target glimwick glimwick-ctl glimwick_fixture_app >/dev/null
  bin=$root/build-release
fi
out=${GLIMWICK_DEMO_OUT:-$root/demo-out}
rm -rf "$out" && mkdir -p "$out"
work=$(mktemp -d)

groups=()
finish() {
  for group in "${groups[@]}"; do kill -KILL -- "-$group" 2>/dev/null || true; done
  [ -f "$work/session.pids" ] && python3 scripts/session.py stop "$work"
  rm -rf "$work"
}
trap finish EXIT

# A desktop session of the user's own, with accessibility on its session bus, or a private one.
if [ -n "${DISPLAY:-}" ] && [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] &&
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner org.a11y.Bus 2>/dev/null | grep -q true; then
  echo "Using your desktop session (DISPLAY=$DISPLAY) and its accessibility bus."
else
  eval "$(python3 scripts/session.py start "$work")"
  echo "Started a private desktop: DISPLAY=$DISPLAY, session bus $DBUS_SESSION_BUS_ADDRESS"
fi

wait_for() {  # wait_for FILE PATTERN [COUNT]
  local n=${3:-1}
  for _ in $(seq 400); do
    [ "$(grep -c -- "$2" "$1" 2>/dev/null || true)" -ge "$n" ] && return 0
    sleep 0.05
  done
  echo "timed out waiting for '$2' in $1" >&2
  return 1
}

setsid "$bin/glimwick-ctl" watch > "$out/events.jsonl" 2> "$work/watch.err" &
groups+=($!); disown
setsid "$bin/glimwick-ctl" watch --readable > "$work/readable" 2> /dev/null &
groups+=($!); disown
wait_for "$work/watch.err" watching

mkfifo "$work/window.in"
setsid "$bin/glimwick_fixture_app" "Glimwick demo" < "$work/window.in" > "$work/window.out" 2> "$work/window.err" &
groups+=($!); disown
exec 3> "$work/window.in"
wait_for "$work/window.out" '^ready'
xid=$(sed -n 's/^ready //p' "$work/window.out")
xdotool windowactivate --sync "$xid" 2>/dev/null || true

setsid "$bin/glimwick" > "$out/helper-stdout.txt" 2>&1 &
helper=$!
groups+=($helper); disown
wait_for "$out/events.jsonl" '"启动"'

echo
echo "--- the main app's view of the session bus:"
tail -f "$work/readable" &
tailer=$!; disown

"$bin/glimwick-ctl" start --app-pid $$ --wait 10 > /dev/null
selections=0
for passage in "38 82" "0 8" "83 100"; do
  echo "select view $passage" >&3
  selections=$((selections + 1))
  wait_for "$out/events.jsonl" selectionChanged "$selections"
done

# The screen with the last selection and the rectangle the helper reported for it.
rect=$(grep selectionChanged "$out/events.jsonl" | tail -n1 |
  sed -E 's/.*"h":([0-9.-]+).*"w":([0-9.-]+),"x":([0-9.-]+),"y":([0-9.-]+).*/\3 \4 \2 \1/')
read -r x y w h <<< "$rect"
import -window root "$work/screen.png"
# Cut to the window, frame included, where the window manager says where it is.
geometry=$(xwininfo -id "$xid" 2>/dev/null | awk '
  /Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
  /Width:/ {w=$NF} /Height:/ {h=$NF}
  END {if (w) printf "%dx%d+%d+%d", w + 8, h + 34, (x > 4 ? x - 4 : 0), (y > 30 ? y - 30 : 0)}')
/usr/bin/convert "$work/screen.png" -fill none -stroke red -strokewidth 2 \
  -draw "rectangle ${x%.*},${y%.*} $(( ${x%.*} + ${w%.*} )),$(( ${y%.*} + ${h%.*} ))" \
  ${geometry:+-crop "$geometry" +repage} "$out/selection.png"

# A caret without a selection: the window's own way of clearing it.
echo "select view 0 0" >&3
wait_for "$out/events.jsonl" selectionCleared

"$bin/glimwick-ctl" shutdown-if-mismatch /nonexistent/outdated-path --wait 5 > /dev/null
for _ in $(seq 100); do kill -0 "$helper" 2>/dev/null || break; sleep 0.05; done
sleep 0.3
kill "$tailer" 2>/dev/null || true

echo
echo "--- the helper's standard output:"
cat "$out/helper-stdout.txt"
echo
echo "Saved: $out/selection.png (the reported rectangle in red), $out/events.jsonl (every event)"

#!/usr/bin/env bash
# Builds the release tree, runs every benchmark and writes bench/results.md (and prints it).
# Takes about fifteen minutes, most of it the 500 applications of the soak, the 60 s idle
# measurement, the ping runs, and the web page and the xterm selection held for 30 s each.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh tests
apt_missing() { ! dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for tool in valgrind strace; do
  if apt_missing "$tool"; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$tool"
  fi
done
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null
bin=build-release
results=bench/results.md
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$bin/glimwick_micro_bench" --benchmark_format=csv --benchmark_min_time=0.5 2>/dev/null > "$tmp/micro.csv"
"$bin/glimwick_memory_bench" 100000 > "$tmp/memory.md"
valgrind --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=9 \
  "$bin/glimwick_memory_bench" 100000 > /dev/null 2> "$tmp/valgrind.txt" && leaks=ok || leaks=failed
"$bin/glimwick_stack_bench" --idle-seconds 60 --selections 50 --pings 10000 > "$tmp/stack.md"
/usr/bin/python3 bench/web_bench.py "$bin/glimwick" "$bin/glimwick-ctl" 5 > "$tmp/web.txt" 2>&1 ||
  echo "- the web page benchmark failed: $(tail -n 1 "$tmp/web.txt")" >> "$tmp/web.txt"
grep '^- ' "$tmp/web.txt" > "$tmp/web.md" || true
/usr/bin/python3 bench/storm_bench.py "$bin/glimwick" > "$tmp/storm.md" 2> /dev/null ||
  echo "| the storm benchmark failed | | | | | |" >> "$tmp/storm.md"
/usr/bin/python3 bench/primary_bench.py "$bin/glimwick" "$bin/glimwick-ctl" 20 > "$tmp/primary.txt" 2>&1 ||
  echo "- the xterm benchmark failed: $(tail -n 1 "$tmp/primary.txt")" >> "$tmp/primary.txt"
grep '^- ' "$tmp/primary.txt" > "$tmp/primary.md" || true
for compositor in mutter kwin; do
  /usr/bin/python3 bench/wayland_bench.py "$bin/glimwick" "$bin/glimwick-ctl" "$bin" \
    "$compositor" 20 >> "$tmp/wayland.txt" 2>&1 ||
    echo "- the $compositor benchmark failed: $(tail -n 1 "$tmp/wayland.txt")" >> "$tmp/wayland.txt"
done
grep '^- ' "$tmp/wayland.txt" > "$tmp/wayland.md" || true
# 500 short-lived applications in turn, each with a selection read over its own connection.
GLIMWICK_SOAK_APPS=500 /usr/bin/python3 -m pytest -s tests/e2e -k soak --build "$bin" \
  > "$tmp/soak.txt" 2>&1 ||
  echo "- the soak failed: $(grep FAIL "$tmp/soak.txt" | head -n 1)" >> "$tmp/soak.txt"
grep '^- ' "$tmp/soak.txt" > "$tmp/soak.md" || true

{
  echo "# Benchmark results"
  echo
  echo "Measured by \`bench/run.sh\` on $(date -u +%Y-%m-%d), $(nproc) cores, $(uname -srm)."
  echo
  echo "## Hot paths on the simulated platform (Google Benchmark, release build)"
  echo
  echo "| benchmark | time per operation | CPU per operation | iterations |"
  echo "|---|---|---|---|"
  awk -F, 'NR > 1 && $1 != "" {
      gsub(/"/, "", $1);
      printf "| %s | %.0f %s | %.0f %s | %s |\n", $1, $3, $5, $4, $5, $2
    }' "$tmp/micro.csv"
  echo
  echo "PollTickPlatformAnswers is the simulated platform's share of PollTickUnchanged (the same"
  echo "answers asked directly); the helper's own work per idle tick is the difference."
  echo
  echo "## Memory over 100,000 simulated ticks, the selection changing every tenth"
  echo
  echo "| measure | value |"
  echo "|---|---|"
  cat "$tmp/memory.md"
  echo "| valgrind memcheck: definitely or indirectly lost | $(grep -oE 'definitely lost: [0-9,]+ bytes' "$tmp/valgrind.txt" | head -n1), $(grep -oE 'indirectly lost: [0-9,]+ bytes' "$tmp/valgrind.txt" | head -n1) ($leaks) |"
  echo
  echo "## The whole process on the real stack (Xvfb, session bus, AT-SPI, GTK fixture)"
  echo
  echo "| measure | value |"
  echo "|---|---|"
  cat "$tmp/stack.md"
  echo
  echo "The calls per idle tick are the helper's sendmsg (D-Bus messages, to the accessibility"
  echo "and session buses) and writev (X11 requests) system calls, counted by \`strace -c\` over"
  echo "a third of the idle time right after it, divided by the ticks (0.4 s) in it; the"
  echo "heartbeat's diagnostic every 10 s is among them. Before the bridge answered idle ticks"
  echo "from events (2026-12-07, gedit focused without a selection): about 6 AT-SPI calls and 6"
  echo "X11 requests per tick, and 0.133 % of one core with the fixture's selection held."
  echo
  echo "Processor time is the scheduler's count for each of the helper's threads"
  echo "(/proc/PID/task/*/schedstat, nanoseconds); /proc/PID/stat counts clock ticks of 10 ms,"
  echo "a third of what 0.05 % of a minute allows. Under callgrind the idle helper runs about"
  echo "54,000 instructions per tick (0.4 s), about 0.01 % of a core: the"
  echo "rest is the kernel waking it, about four times a second (the tick, and the calls that"
  echo "confirm the focus, the active window and a held selection's range every 2 s)."
  echo "The bare main loop beside it, measured over the same time, is what the logic's 0.4 s"
  echo "poll costs before any work (its wake-ups alone). On 2026-12-08, with the focus and"
  echo "the held range confirmed every 10 s instead of 2 s, the helper measured 0.049 % and"
  echo "0.050 % in two 60 s runs, against 0.063 % and 0.058 % as built."
  echo
  echo "## Resident memory through storms of commands (private session bus, release build)"
  echo
  cat "$tmp/storm.md"
  echo
  echo "Targets: back within 2 MB of the level before each storm, 5 s after it; peak under 64 MB."
  echo "Before the inbox was bounded and arguments were parsed without nested containers"
  echo "(2026-12-07, same machine): the million-number burst peaked at 257.5 MB and took 10.0 s;"
  echo "10,000 pings left +0.81 MB and the 2 MB pings +2.00 MB, as now."
  echo "What stays after the 2 MB commands is GDBus's read buffer, kept at the largest message"
  echo "read. Unread command bodies are held to 16 MB: beyond that a flood is dropped as it"
  echo "arrives, so some of the 2 MB pings may go unanswered; bodiless pings always pass."
  echo
  echo "## A web page (Chromium, private desktop, release build)"
  echo
  cat "$tmp/web.md"
  echo
  echo "Before the batched requests went from GDBus to libdbus (2026-12-07, same machine): a"
  echo "median 1536 ms after the debounce, the longest pong 898 ms, and about 0.9 s of the"
  echo "helper's processor time per select-all (now about 0.3 s), more than Chromium's own."
  echo
  echo "This machine's runs vary by more than a factor of two (the bare echo client above"
  echo "against earlier runs): the tree before idle ticks were answered from events measured a"
  echo "median 1728 ms here on the same day as the figures above, against 870 ms on a faster day."
  echo
  echo "Targets: the select-all at the main app within 1 s after the debounce; no reading"
  echo "blocking the main loop for 1 s; under 1 % of a core with the selection held."
  echo
  echo "## xterm and a Tk text through the PRIMARY selection (private desktop, release build)"
  echo
  cat "$tmp/primary.md"
  echo
  echo "xterm has no accessibility: its selection is converted at each change of PRIMARY (XFixes)."
  echo "Tk keeps PRIMARY while the user selects anew, so XFixes says nothing: the release of the"
  echo "double-click (an XInput2 raw event) is what makes the helper convert it again, 60 ms after"
  echo "the burst. Times run from xdotool's return after the release to the event in the main"
  echo "app's log (polled every 10 ms); the first double-click, which takes PRIMARY, is not"
  echo "counted. Held, the only conversions are the backstop's, every 2 s: the CPU figures are the"
  echo "same as before gestures were heard."
  echo
  echo "## Idle in headless Wayland sessions, no X11 (release build)"
  echo
  cat "$tmp/wayland.md"
  echo
  echo "The helper's CPU over 20 s, then its sendmsg system calls (D-Bus messages) counted by"
  echo "\`strace -c\` over another 20 s, divided by the ticks (0.4 s) in it. Without X11 the front"
  echo "application comes from AT-SPI. Before the active window's application was kept from the"
  echo "window events (2026-12-08, debug build, Mutter): 6.5 calls per idle tick, the active"
  echo "window's state, its application's name and its process asked twice on every tick."
  echo
  echo "Targets: idle under 0.5 % of one core and under 12 MB resident; notification path"
  echo "median within 20 ms of the 0.2 s debounce and p95 within 50 ms; poll path median under"
  echo "0.45 s; an idle pollTick under 2 µs of the helper's own work; textPrefix(20) under 5 µs"
  echo "whatever the text's length; pings at 80 % of the echo baseline or better, none lost."
  echo
  echo "## A session's worth of applications (private desktop, release build)"
  echo
  cat "$tmp/soak.md"
  echo
  echo "\`tests/e2e/soak.py\` (\`Desktop.Soak\` runs it with 40): one GTK fixture after another"
  echo "starts, takes the focus, has a line of 20 objects embedded in its text selected (read"
  echo "through the batch, over the application's own connection) and exits. Descriptors and"
  echo "threads from /proc, resident memory from VmRSS. Before departures were heard, each"
  echo "application left one descriptor open (its connection). Targets: every selection"
  echo "reported; descriptors within 2 and threads equal; resident memory at most 256 kB up."
  echo
  echo "Resident memory grows about 1 kB per application, and that is libatspi's: a program of 20"
  echo "lines that only initialises libatspi and listens for the same focus and window events grew"
  echo "1.2 kB per application (2026-12-09). libatspi 2.46 disposes an application that leaves the"
  echo "bus but keeps it in its table of applications for good; no public call lets a client drop it."
} > "$results"
cat "$results"
[ "$leaks" = ok ]

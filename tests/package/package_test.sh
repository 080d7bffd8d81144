#!/usr/bin/env bash
# The Debian package on this machine: builds it (the `package` preset), checks it with lintian
# (no errors), installs it, runs the installed helper on a private session bus, pings it and
# shuts it down with the installed glimwick-ctl, then purges the package and checks that
# nothing of it is left. Needs root (dpkg); exits 77 (skipped) without.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ "$(id -u)" -eq 0 ] || { echo "not root: skipped"; exit 77; }

deb=$(scripts/package.sh)
echo "package: $deb"
lintian --tag-display-limit 0 "$deb" | tee "$deb.lintian"
! grep -q '^E:' "$deb.lintian"

work=$(mktemp -d)
bus=
cleanup() {
  [ -n "$bus" ] && kill "$bus" 2>/dev/null
  dpkg --purge glimwick >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

dpkg -i "$deb"
files=$(dpkg -L glimwick)
test -x /usr/libexec/glimwick/glimwick
test -f /usr/share/man/man1/glimwick-ctl.1.gz

dbus-daemon --session --nofork --print-address=1 --address="unix:dir=$work" > "$work/address" &
bus=$!
for _ in $(seq 200); do [ -s "$work/address" ] && break; sleep 0.05; done
export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/address")
unset DISPLAY WAYLAND_DISPLAY

/usr/libexec/glimwick/glimwick > "$work/helper.log" 2>&1 &
helper=$!
ok=
for _ in $(seq 100); do
  if glimwick-ctl ping --wait 1 > "$work/pong" 2>/dev/null; then ok=1; break; fi
done
[ -n "$ok" ] || { echo "the installed helper never answered"; cat "$work/helper.log"; exit 1; }
grep -q '"bundlePath":"/usr/libexec/glimwick"' "$work/pong" ||
  { echo "unexpected pong: $(cat "$work/pong")"; exit 1; }
glimwick-ctl shutdown-if-mismatch /opt/another/glimwick --wait 10 > "$work/exit"
for _ in $(seq 200); do kill -0 "$helper" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$helper" 2>/dev/null; then
  kill "$helper"; echo "the installed helper did not shut down"; exit 1
fi
grep -q '"bundleID":"com.corvala.glimwick"' "$work/exit" ||
  { echo "unexpected bundle identifier: $(cat "$work/exit")"; exit 1; }

dpkg --purge glimwick
for file in $files; do
  case "$file" in /usr|/usr/bin|/usr/share|/usr/share/doc|/usr/share/man|/usr/share/man/man1|/usr/libexec|/.) continue ;; esac
  if [ -e "$file" ]; then echo "left behind: $file"; exit 1; fi
done
echo "1 passed, 0 failed"

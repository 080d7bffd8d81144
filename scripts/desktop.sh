# Sourced by the demo: starts a private desktop (Xvfb, a session bus, the accessibility bus and
# a window manager) and exports DISPLAY, DBUS_SESSION_BUS_ADDRESS and XDG_RUNTIME_DIR for it.
# Every process it starts leads its own process group, listed in desktop_groups for cleanup.

desktop_groups=()

desktop_start() {
  local work=$1
  export XDG_RUNTIME_DIR="$work/run"
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

  setsid Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp -noreset \
    > "$work/xvfb.display" 2> "$work/xvfb.log" &
  desktop_groups+=($!); disown
  for _ in $(seq 300); do [ -s "$work/xvfb.display" ] && break; sleep 0.05; done
  export DISPLAY=":$(head -n1 "$work/xvfb.display")"

  setsid dbus-daemon --session --nofork --print-address=1 > "$work/bus.address" 2> "$work/bus.log" &
  desktop_groups+=($!); disown
  for _ in $(seq 300); do [ -s "$work/bus.address" ] && break; sleep 0.05; done
  export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus.address")

  setsid /usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=1 > "$work/a11y.log" 2>&1 &
  desktop_groups+=($!); disown
  for _ in $(seq 300); do
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.NameHasOwner org.a11y.Bus 2>/dev/null | grep -q true && break
    sleep 0.05
  done

  setsid openbox > "$work/openbox.log" 2>&1 &
  desktop_groups+=($!); disown
}

desktop_stop() {
  for group in "${desktop_groups[@]}"; do kill -TERM -- "-$group" 2>/dev/null || true; done
  for group in "${desktop_groups[@]}"; do
    for _ in $(seq 100); do kill -0 "$group" 2>/dev/null || break; sleep 0.05; done
    kill -KILL -- "-$group" 2>/dev/null || true
  done
}

# A desktop session of the user's own, with accessibility on its session bus.
desktop_is_usable() {
  [ -n "${DISPLAY:-}" ] && [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] &&
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.NameHasOwner org.a11y.Bus 2>/dev/null | grep -q true
}

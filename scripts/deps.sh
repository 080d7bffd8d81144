#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (as root, via apt-get), and any
# named on the command line.
# Does nothing when they are all there already.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libglib2.0-dev libglib2.0-bin nlohmann-json3-dev libicu-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libatspi2.0-dev libx11-dev libxrandr-dev libxfixes-dev libxres-dev libgtk-3-dev
  dbus at-spi2-core xvfb openbox xdotool imagemagick procps x11-utils
  # the manual page, and the Debian package and its checks
  help2man file lintian
  # the compatibility suite: real applications, read back through their own accessibility
  python3 python3-pyatspi gir1.2-atspi-2.0
  chromium firefox-esr libreoffice-writer libreoffice-gtk3 gedit gnome-text-editor featherpad
  xfce4-terminal
  # applications without accessibility, read through the PRIMARY selection
  xterm
  # the Wayland session: weston on its X11 back-end inside Xvfb, with XWayland
  weston xwayland
)

# Callers may ask for more (the demo's fonts).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

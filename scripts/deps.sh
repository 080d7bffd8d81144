#!/usr/bin/env bash
# Installs the Debian packages a use of this tree needs (as root, via apt-get); does nothing
# when they are all there already. Usage: deps.sh [GROUP...]
#   (always)  building the helper and glimwick-ctl
#   tests     the test suite and the benchmarks: test frameworks, the desktop stack, the GTK
#             fixture, the real applications of the suites
#   package   the Debian package's checks
#   demo      the demo: its desktop and the fonts its window shows
# With no group: everything but the demo.
set -euo pipefail

build=(
  build-essential cmake ninja-build pkg-config
  libglib2.0-dev nlohmann-json3-dev libicu-dev
  libatspi2.0-dev libdbus-1-dev libx11-dev libxrandr-dev libxfixes-dev libxres-dev libxi-dev
  # Wayland's data-control protocol: the client library, and wlroots' description of it
  libwayland-dev librust-wayland-protocols-dev
  # the manual page, and the package's dependencies found from the binaries
  help2man file
)
tests=(
  clang libclang-rt-14-dev clang-tidy
  libgtest-dev libgmock-dev libbenchmark-dev libgtk-3-dev libglib2.0-bin
  dbus at-spi2-core xvfb openbox xdotool imagemagick procps x11-utils
  # the compatibility suite: real applications, read back through their own accessibility
  python3 python3-pytest python3-pytest-forked python3-pyatspi gir1.2-atspi-2.0
  chromium firefox-esr libreoffice-writer libreoffice-gtk3 gedit mousepad geany
  gnome-text-editor featherpad xfce4-terminal evince epiphany-browser yelp kate konsole
  # Java Swing through the ATK wrapper (which stays off without xprop, from x11-utils); the
  # JDK runs the suite's one-file Swing window from its source
  openjdk-17-jdk-headless openjdk-17-jre libatk-wrapper-java-jni
  # Qt 6, through the suite's one-file window
  python3-pyqt6
  # applications without accessibility, read through the PRIMARY selection (xterm in the
  # "fixed" bitmap font, whose cell size the suite relies on), and an owner of known text
  xterm xfonts-base python3-xlib tk
  # two applications in process namespaces of their own, behind proxies, as sandboxes run them
  bubblewrap xdg-dbus-proxy
  # the Wayland sessions: weston on its X11 back-end inside Xvfb, with XWayland; Mutter, KWin
  # and sway headless, with Qt's Wayland plugin, KWin's fake-input protocol and wtype to type with
  weston xwayland mutter kwin-wayland qtwayland5 plasma-wayland-protocols libwayland-dev
  sway wtype
  # a Wayland terminal without accessibility, read through data-control on sway, and a
  # clipboard tool that reads its primary selection back
  foot wl-clipboard
)
package=(lintian)
demo=(
  # what configuring the tree with its tests needs (the release preset builds them)
  libgtest-dev libgmock-dev libgtk-3-dev plasma-wayland-protocols libwayland-dev
  dbus at-spi2-core xvfb openbox xdotool imagemagick x11-utils
  fonts-noto-cjk fonts-noto-color-emoji
)

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(tests package)
packages=("${build[@]}")
for group in "${groups[@]}"; do
  case "$group" in
    tests) packages+=("${tests[@]}") ;;
    package) packages+=("${package[@]}") ;;
    demo) packages+=("${demo[@]}") ;;
    *) echo "deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done

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

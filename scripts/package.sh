#!/usr/bin/env bash
# Builds the Debian package (hardened release, installed under /usr, bundle identifier
# com.corvala.glimwick) and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package >&2
cmake --preset package >&2
cmake --build --preset package -j "$(nproc)" >&2
(cd build-package && cpack -G DEB >&2)
ls "$PWD"/build-package/glimwick_*.deb

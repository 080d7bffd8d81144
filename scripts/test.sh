#!/usr/bin/env bash
# The whole suite from a fresh Debian 12 machine: packages, a debug build with every test
# kind, then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
# Each test that needs a bus or a desktop starts its own and stops it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

jobs=$(nproc)
for preset in debug asan; do
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset tests"
  ctest --preset "$preset" -j "$jobs"
done

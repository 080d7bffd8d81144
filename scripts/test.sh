#!/usr/bin/env bash
# The whole suite from a fresh Debian 12 machine: packages, a debug build with every test
# kind and clang-tidy, then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
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
  if [ "$preset" = debug ]; then
    echo "=== clang-tidy (.clang-tidy) over src/ and tools/"
    tidy=$(mktemp)
    run-clang-tidy -p build -quiet -j "$jobs" "$PWD/src/" "$PWD/tools/" > "$tidy" 2>&1 || true
    if grep -E '(src|tools)/[^:]+:[0-9]+:[0-9]+: (warning|error):' "$tidy"; then
      echo "clang-tidy found the above"; rm -f "$tidy"; exit 1
    fi
    rm -f "$tidy"
  fi
done

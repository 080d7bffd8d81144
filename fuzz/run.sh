#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) and runs each for SECONDS
# (default 60), starting from the committed seed corpus. A crash, leak or sanitizer report
# stops the run and leaves its input in fuzz/crashes/; turn it into a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target CommandFuzzer AccessibilityFuzzer >/dev/null
mkdir -p fuzz/crashes
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for target in CommandFuzzer AccessibilityFuzzer; do
  case $target in
    CommandFuzzer) seeds=fuzz/corpus/commands ;;
    AccessibilityFuzzer) seeds=fuzz/corpus/accessibility ;;
  esac
  mkdir -p "$work/$target"
  echo "=== $target for ${seconds}s"
  "build-fuzz/$target" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=4096 \
    -artifact_prefix=fuzz/crashes/ -print_final_stats=1 "$work/$target" "$seeds" 2>&1 |
    grep -E "^(#[0-9]+.*(DONE|pulse)|Done|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)" || true
  # libFuzzer exits non-zero on a finding; the artifact is in fuzz/crashes/.
  if compgen -G "fuzz/crashes/*-*" >/dev/null; then
    echo "$target found a problem: $(ls fuzz/crashes/)"
    exit 1
  fi
done
echo "No crash, leak or sanitizer report."

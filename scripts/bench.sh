#!/usr/bin/env bash
# Builds the optimised preset and runs every benchmark; each prints its figures, the baseline
# measured in the same run, and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

for bench in build/release/bench/bench_*; do
  echo "== $(basename "$bench") =="
  "$bench" --benchmark_color=false
done

#!/usr/bin/env bash
# Builds the optimised preset, runs every benchmark (each prints its own figures), then prints
# the performance report: one table of every figure, the baseline measured in the same run and
# their ratio, as Markdown. Each program measures its figures and their baselines three times,
# interleaved in a random order, so that a change in the machine's load falls on both; the
# medians are reported. Extra arguments go to every benchmark program (after these).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh bench
cmake --preset release >/dev/null
cmake --build --preset release

rows=$(mktemp)
out=$(mktemp)
trap 'rm -f "$rows" "$out"' EXIT
failed=()
for bench in build/release/bench/bench_*; do
  echo "== $(basename "$bench") =="
  # Through a file, not tee to /dev/stderr: when stderr is a file, that would reopen it truncated.
  status=0
  "$bench" --benchmark_color=false --benchmark_repetitions=3 \
    --benchmark_enable_random_interleaving=true "$@" >"$out" 2>&1 || status=$?
  cat "$out"
  # A benchmark that gave up must not pass for one that had nothing to say.
  if [[ $status -ne 0 ]]; then failed+=("$(basename "$bench") (exit status $status)"); fi
  grep $'^report\t' "$out" >>"$rows" || true
done

echo
echo "Performance report ($(nproc) cores, $(date -u +%Y-%m-%d))"
echo
awk -F'\t' '
  BEGIN {
    print "| Figure | Measured | Baseline (same run) | Baseline | Ratio |"
    print "| --- | ---: | --- | ---: | ---: |"
  }
  { printf "| %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6 }
' "$rows"
if [[ ${#failed[@]} -gt 0 ]]; then
  echo
  echo "Failed, their figures missing: ${failed[*]}"
  exit 1
fi

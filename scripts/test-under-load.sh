#!/usr/bin/env bash
# The test command three times in a row on a busy machine: two loops that keep two cores busy
# run beside it, started here and ended here by their ids. A test that bounds the program's own
# waiting too tightly fails here first. Prints how long each run took.
#   scripts/test-under-load.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-3}
busy=()
stop_busy() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${busy[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_busy EXIT
for _ in 1 2; do
  yes >/dev/null &
  busy+=($!)
done

for run in $(seq "$runs"); do
  started=$(date +%s)
  if ! scripts/test.sh; then
    echo "test-under-load.sh: run $run of $runs failed after $(($(date +%s) - started)) s" >&2
    exit 1
  fi
  echo "test-under-load.sh: run $run of $runs passed in $(($(date +%s) - started)) s"
done

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with ASan and UBSan) and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS-PER-TARGET]   (default 60)
# Corpora grow in build/fuzz/corpus/<target>, from the seeds in fuzz/seeds/<target> where there
# are some; a finding stops the script with the target's
# report and a crash file, and the script exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
targets=(fuzz_dispatch fuzz_frame fuzz_webdecode fuzz_reply fuzz_percent fuzz_loader fuzz_profile fuzz_stanza)
# Only the fuzz targets and what they link: the programs themselves are not needed here.
cmake --build --preset fuzz --target "${targets[@]}"

for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  echo "== $target, $seconds s =="
  rc=0
  seeds=()
  if [ -d "fuzz/seeds/$target" ]; then seeds=("fuzz/seeds/$target"); fi
  build/fuzz/fuzz/$target -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build/fuzz/ "$corpus" "${seeds[@]}" >build/fuzz/$target.log 2>&1 || rc=$?
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec)|ERROR:|SUMMARY:' build/fuzz/$target.log || true
  echo "corpus: $(ls "$corpus" | wc -l) inputs"
  if [ "$rc" -ne 0 ]; then
    tail -n 40 build/fuzz/$target.log
    exit "$rc"
  fi
done

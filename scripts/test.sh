#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice: as built normally and
# under AddressSanitizer with UndefinedBehaviorSanitizer; then every fuzz target for 30 seconds
# (ASan and UBSan as well); then the Windows build's tests under Wine. Exits non-zero when
# anything fails or a fuzzer finds anything.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/check-includes.sh

for preset in default asan; do
  echo "== $preset =="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

echo "== fuzz =="
scripts/fuzz.sh 30

echo "== windows (mingw-w64, under Wine) =="
scripts/test-windows.sh

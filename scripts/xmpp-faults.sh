#!/usr/bin/env bash
# The XMPP fault-injection run, longer than the test command's: every fault on the path to a
# real Prosody (FIN, RST, a cut mid-stream, silence, the server killed), ROUNDS times over with
# 20 messages each way per fault (default 30 rounds, 3,000 messages each way). Prints what each
# round took to connect again and the counts at the end.
#   scripts/xmpp-faults.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target xmpp_fault_test parlavant-xmpp
PARLAVANT_FAULT_ROUNDS=${1:-30} build/default/tests/xmpp_fault_test

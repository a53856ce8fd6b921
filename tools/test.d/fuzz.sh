#!/usr/bin/env bash
# Every fuzz target for a bounded time; any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
fuzz/run "${REPOSA_FUZZ_SECONDS:-30}"

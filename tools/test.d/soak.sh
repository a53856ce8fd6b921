#!/usr/bin/env bash
# Two consoles against the server with keep-alives every second and steady
# chat traffic, for REPOSA_SOAK_SECONDS (default 60): no message may be lost
# and no program's resident memory may grow after the warm-up.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/release
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DREPOSA_WERROR=ON >/dev/null
fi
cmake --build "$build" --target reposa_soak
"$build/tests/reliability/reposa_soak" "${REPOSA_SOAK_SECONDS:-60}"

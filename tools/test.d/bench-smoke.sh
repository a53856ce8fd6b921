#!/usr/bin/env bash
# Every benchmark and driver for a moment, on the test run's own build, so
# none of them rots. Measures nothing: bench/run does.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${REPOSA_BENCH_SMOKE_BUILD:-build/release}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DREPOSA_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2

export QT_QPA_PLATFORM=offscreen
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
status=0
smoke() {
  local name=$1
  shift
  if [ ! -x "$build/bench/$name" ]; then
    echo "$name: not built"
    status=1
    return
  fi
  local log
  log=$(mktemp)
  local start=$SECONDS
  if "$build/bench/$name" "$@" >"$log" 2>&1; then
    echo "$name: ran ($((SECONDS - start))s)"
  else
    echo "$name: FAILED"
    tail -n 30 "$log"
    status=1
  fi
  rm -f "$log"
}

# One short pass of each benchmark; the slow naive baselines only at 1 MiB.
for name in bench_receive bench_control; do
  smoke $name --benchmark_min_time=0.01 --benchmark_out="$results/$name.json" \
    '--benchmark_filter=-(Once|BaselineReader/(2097152|4194304)/0)'
done
smoke bench_server --clients 50 --room 10 --lines 20 --seconds 0.2 --idle 0.2 --scrapes 2 --runs 1 \
  --json "$results/bench_server.json"
# The echo relay the server is weighed against, with the same driver.
smoke bench_server --dialect echo --name echo --clients 50 --room 10 --lines 20 --seconds 0.2 \
  --runs 1 --json "$results/bench_echo.json"
smoke bench_server --clients 50 --room 10 --lines 20 --seconds 0.2 --idle 0.2 --scrapes 2 --runs 1 \
  --tls --json "$results/bench_server_tls.json"
smoke bench_store --changes 200 --accounts 20 --big-accounts 100 --buddies 20 --live-adds 3 --runs 1 \
  --json "$results/bench_store.json"
smoke bench_offline --recipients 10 --ims 200 --senders 2 --box 20 --runs 1 \
  --json "$results/bench_offline.json"
smoke bench_console --buddies 200 --idle 0.5 --runs 1 --json "$results/bench_console.json"
smoke bench_console --buddies 200 --idle 0.5 --runs 1 --tls --json "$results/bench_console_tls.json"
smoke bench_console --accounts 5 --buddies 20 --idle 0.5 --runs 1 \
  --json "$results/bench_console_accounts.json"
if [ -x "$build/bench/bench_window_shown" ]; then
  smoke bench_window --runs 1 --json "$results/bench_window.json"
fi
# The summary reads what they wrote.
if ! python3 bench/summary.py "$results" >"$results/summary.md"; then
  echo "bench/summary.py: FAILED"
  status=1
fi
exit $status

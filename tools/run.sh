#!/usr/bin/env bash
# The main job: sets up what is missing, builds, starts the local server in
# the background on its default database (so what users store is there on the
# next run; see README), then opens the window pointed at it; where there is no
# display, runs the console host instead, signed on with a demo account and
# sitting in a room, printing its events; type JSON calls on its input (Ctrl-C ends it).
#   tools/run.sh                 window or console, whichever fits
#   tools/run.sh --console       the console host even on a desktop
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh

build=build/run
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DREPOSA_BUILD_TESTS=OFF -DREPOSA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" >&2

host=127.0.0.1
port=${REPOSA_PORT:-5190}
server_pid=""
secret=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$secret" ] && rm -f "$secret"
  return 0
}
trap cleanup EXIT INT TERM

port_open() { (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null; }
if port_open; then
  echo "A server already answers on $host:$port; using it." >&2
else
  "$build/server/reposa-server" --listen "$host:$port" &
  server_pid=$!
  for _ in $(seq 100); do port_open && break; sleep 0.05; done
  port_open || { echo "reposa-server did not start on $host:$port" >&2; exit 1; }
fi

if [ "${1:-}" != "--console" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] &&
  [ -x "$build/app/reposa" ]; then
  # On an open server (no registered accounts) any screen name signs on; the
  # defaults will do.
  "$build/app/reposa" --server "$host:$port"
else
  secret=$(mktemp)
  chmod 600 "$secret"
  echo "demo" >"$secret"
  echo "Signing on as \"Demo User\" and joining \"Reposa Lobby\"; Ctrl-C ends it." >&2
  "$build/console/reposa-console" --server "$host:$port" --screen-name "Demo User" \
    --password-file "$secret" --join "Reposa Lobby" || true
fi

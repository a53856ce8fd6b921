#!/usr/bin/env bash
# Shows the real window on a virtual X display and saves a screenshot of it,
# to see what a person sees. Usage: tools/screenshot.sh [BUILD_DIR] [OUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-$build/reposa-screenshot.png}
binary=$build/app/reposa
[ -x "$binary" ] || { echo "no $binary: build the reposa target first" >&2; exit 1; }
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (tools/deps.sh)" >&2; exit 1; }
command -v import >/dev/null || { echo "imagemagick's import is missing" >&2; exit 1; }

# Inside the virtual display: start the window, wait until it is mapped, take
# the whole screen, then end the window again.
xvfb-run -a -s "-screen 0 480x320x24" bash -c '
  set -euo pipefail
  unset QT_QPA_PLATFORM
  "$1" & pid=$!
  trap "kill $pid 2>/dev/null || true" EXIT
  for _ in $(seq 100); do
    xwininfo -root -tree 2>/dev/null | grep -q "\"Reposa\"" && break
    sleep 0.1
  done
  sleep 0.5  # let the first paint land
  import -window root "$2"
' _ "$binary" "$out"
echo "$out"

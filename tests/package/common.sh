# shellcheck shell=bash
# What the package tests share; sourced by package_test.sh and deb_test.sh.

# Steps run at exit, however the script ends, latest first.
cleanups=()
run_cleanups() {
  local i
  for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" || true; done
}
trap run_cleanups EXIT

configure_and_build() {  # SOURCE BINARY [cmake args...]
  local src=$1 bin=$2
  shift 2
  cmake -S "$src" -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >"$bin.log" 2>&1 ||
    { cat "$bin.log"; exit 1; }
  cmake --build "$bin" >>"$bin.log" 2>&1 || { cat "$bin.log"; exit 1; }
}

# Starts SERVER on a free loopback port, stopped at exit; sets $port.
start_server() {  # SERVER WORK
  local server=$1 work=$2 pid
  XDG_DATA_HOME="$work/data" "$server" --listen 127.0.0.1:0 2>"$work/server.log" &
  pid=$!
  cleanups+=("kill $pid 2>/dev/null")
  port=""
  for _ in $(seq 100); do  # the server says its port once it listens
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  cat "$work/server.log"
  exit 1
}

# Starts SERVER on a free loopback port and runs CONSUMER against it.
consume() {  # SERVER CONSUMER WORK
  start_server "$1" "$3"
  "$2" "127.0.0.1:$port"
}

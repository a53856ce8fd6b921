#!/usr/bin/env bash
# Reposa as others take it:
#   consumer BUILD SERVER WORK   install the control, build an outside project
#                                against the CMake package, and talk to a server
#   pkgconfig BUILD WORK         the same install, found through pkg-config
#   subproject SOURCE WORK       build Reposa as a subdirectory of another project
#   deb BUILD                    build the .deb and check what it holds
#   examples EXAMPLES BUILD SERVER CONSOLE WORK
#                                install the control, build each example against
#                                it, and have each bot echo one IM from a console
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mode=$1
shift

configure_and_build() {  # SOURCE BINARY [cmake args...]
  local src=$1 bin=$2
  shift 2
  cmake -S "$src" -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >"$bin.log" 2>&1 ||
    { cat "$bin.log"; exit 1; }
  cmake --build "$bin" >>"$bin.log" 2>&1 || { cat "$bin.log"; exit 1; }
}

pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done' EXIT

start_server() {  # SERVER WORK: a server on a free port of 127.0.0.1; sets $port
  local server=$1 work=$2
  XDG_DATA_HOME="$work/data" "$server" --listen 127.0.0.1:0 --db :memory: 2>"$work/server.log" &
  pids+=($!)
  port=""
  for _ in $(seq 100); do  # the server says its port once it listens
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  cat "$work/server.log"
  exit 1
}

wait_for() {  # FILE TEXT SECONDS: true once FILE holds TEXT, false after SECONDS
  for _ in $(seq $(($3 * 10))); do
    grep -qF -- "$2" "$1" && return 0
    sleep 0.1
  done
  return 1
}

case $mode in
consumer)
  build=$1 server=$2 work=$3
  rm -rf "$work" && mkdir -p "$work"
  cmake --install "$build" --prefix "$work/prefix" --component Development >/dev/null
  configure_and_build "$here/consumer" "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix"
  start_server "$server" "$work"
  "$work/consumer/kez_consumer" 127.0.0.1 "$port"
  ;;
examples)
  examples=$1 build=$2 server=$3 console=$4 work=$5
  rm -rf "$work" && mkdir -p "$work"
  cmake --install "$build" --prefix "$work/prefix" --component Development >/dev/null
  bots=(echo_bot core_poll_bot)
  for bot in "${bots[@]}"; do
    configure_and_build "$examples/$bot" "$work/$bot" -DCMAKE_PREFIX_PATH="$work/prefix"
  done
  start_server "$server" "$work"
  printf 'secret\n' >"$work/password" && chmod 600 "$work/password"
  # "pal", a console signed on beside the bots, sends the IMs.
  mkfifo "$work/pal.in"
  "$console" --server "127.0.0.1:$port" --screen-name pal --password-file "$work/password" \
    <"$work/pal.in" >"$work/pal.out" 2>&1 &
  pids+=($!)
  exec 3>"$work/pal.in"
  wait_for "$work/pal.out" '"event":"LoggedIn"' 20 || { cat "$work/pal.out"; exit 1; }
  for bot in "${bots[@]}"; do
    name=${bot//_/}
    BOT_PASSWORD=secret "$work/$bot/$bot" 127.0.0.1 "$port" "$name" >"$work/$name.log" 2>&1 &
    pids+=($!)
    wait_for "$work/$name.log" "signed on as $name" 20 || { cat "$work/$name.log"; exit 1; }
    # The server counts a bot online once its sign-on is complete, a moment
    # after it says so: until the echo comes, ask again every two seconds.
    echoed=no
    for _ in $(seq 10); do
      printf '{"call":"SendIM","args":["%s","ping %s",false]}\n' "$name" "$name" >&3
      wait_for "$work/pal.out" "\"ping $name\",true" 2 && { echoed=yes; break; }
    done
    [ $echoed = yes ] || { cat "$work/pal.out" "$work/$name.log"; exit 1; }
    echo "$bot echoed one IM"
  done
  ;;
pkgconfig)
  build=$1 work=$2
  rm -rf "$work" && mkdir -p "$work"
  cmake --install "$build" --prefix "$work/prefix" --component Development >/dev/null
  export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
  # shellcheck disable=SC2046
  c++ -o "$work/parent" "$here/subproject/main.cpp" $(pkg-config --cflags --libs keztocsock-posix)
  "$work/parent"
  ;;
subproject)
  src=$1 work=$2
  rm -rf "$work" && mkdir -p "$work"
  configure_and_build "$here/subproject" "$work/parent" -DREPOSA_SOURCE_DIR="$src"
  "$work/parent/kez_parent"
  ;;
deb)
  build=$1
  (cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log"; exit 1; }
  deb=$(ls "$build"/reposa_*_amd64.deb)
  contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
  for want in ./usr/bin/reposa ./usr/bin/reposa-console ./usr/bin/reposa-server \
    ./usr/share/applications/reposa.desktop ./usr/share/icons/hicolor/32x32/apps/reposa.png \
    ./usr/include/kez/KezTOCSock.h ./usr/lib/libkeztocsock.a \
    ./usr/lib/cmake/KezTOCSock/KezTOCSockConfig.cmake ./usr/lib/pkgconfig/keztocsock.pc; do
    grep -qx "$want" <<<"$contents" || { echo "missing from $deb: $want"; exit 1; }
  done
  depends=$(dpkg-deb -f "$deb" Depends)
  grep -q 'libc6' <<<"$depends" || { echo "no shared-library dependencies: $depends"; exit 1; }
  grep -q 'libqt6widgets6' <<<"$depends" || { echo "no Qt dependency: $depends"; exit 1; }
  echo "$deb: $(wc -l <<<"$contents") entries; Depends: $depends"
  ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac

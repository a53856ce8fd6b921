#!/usr/bin/env bash
# Reposa as others take it:
#   consumer BUILD SERVER WORK   install the control, build an outside project
#                                against the CMake package, and talk to a server
#   pkgconfig BUILD WORK         the same install, found through pkg-config
#   subproject SOURCE WORK       build Reposa as a subdirectory of another project
#   examples EXAMPLES BUILD SERVER CONSOLE WORK
#                                install the control, build each example against
#                                it, and have each bot echo one IM from a console
# (The Debian packages: deb_test.sh.)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
source "$here/common.sh"
mode=$1
shift

wait_for() {  # FILE TEXT SECONDS: true once FILE holds TEXT, false after SECONDS
  for _ in $(seq $(($3 * 10))); do
    grep -qF -- "$2" "$1" && return 0
    sleep 0.1
  done
  return 1
}

# Starts PROGRAM ARGS... in the background, stopped at exit.
background() {
  "$@" &
  cleanups+=("kill $! 2>/dev/null")
}

case $mode in
consumer)
  build=$1 server=$2 work=$3
  rm -rf "$work" && mkdir -p "$work"
  cmake --install "$build" --prefix "$work/prefix" --component Development >/dev/null
  configure_and_build "$here/consumer" "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix"
  consume "$server" "$work/consumer/kez_consumer" "$work"
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
  exec 3<>"$work/pal.in"  # open both ends first, so neither side waits for the other
  # (Its input named on the command itself: a background command's input is
  # otherwise /dev/null.)
  "$console" --server "127.0.0.1:$port" --screen-name pal --password-file "$work/password" \
    <"$work/pal.in" >"$work/pal.out" 2>&1 &
  cleanups+=("kill $! 2>/dev/null")
  wait_for "$work/pal.out" '"event":"LoggedIn"' 20 || { cat "$work/pal.out"; exit 1; }
  for bot in "${bots[@]}"; do
    name=${bot//_/}
    background env BOT_PASSWORD=secret "$work/$bot/$bot" 127.0.0.1 "$port" "$name" \
      >"$work/$name.log" 2>&1
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
  PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name keztocsock.pc)")
  export PKG_CONFIG_PATH
  # shellcheck disable=SC2046
  c++ -o "$work/parent" "$here/subproject/main.cpp" $(pkg-config --cflags --libs keztocsock-posix keztocsock-host)
  "$work/parent"
  ;;
subproject)
  src=$1 work=$2
  rm -rf "$work" && mkdir -p "$work"
  configure_and_build "$here/subproject" "$work/parent" -DREPOSA_SOURCE_DIR="$src"
  "$work/parent/kez_parent"
  ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac

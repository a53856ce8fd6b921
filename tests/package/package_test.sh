#!/usr/bin/env bash
# Reposa as others take it:
#   consumer BUILD SERVER WORK   install the control, build an outside project
#                                against the CMake package, and talk to a server
#   pkgconfig BUILD WORK         the same install, found through pkg-config
#   subproject SOURCE WORK       build Reposa as a subdirectory of another project
# (The Debian packages: deb_test.sh.)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
source "$here/common.sh"
mode=$1
shift

case $mode in
consumer)
  build=$1 server=$2 work=$3
  rm -rf "$work" && mkdir -p "$work"
  cmake --install "$build" --prefix "$work/prefix" --component Development >/dev/null
  configure_and_build "$here/consumer" "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix"
  consume "$server" "$work/consumer/kez_consumer" "$work"
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

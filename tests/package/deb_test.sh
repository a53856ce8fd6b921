#!/usr/bin/env bash
# The Debian packages as a user meets them:   deb_test.sh BUILD WORK
# Builds both packages from BUILD, checks what each holds, runs lintian on
# them, and verifies the systemd units of a plain install under WORK. As root
# it also installs the packages, runs the programs from /usr/bin, verifies the
# installed units, builds an outside project against /usr through CMake and
# pkg-config, and removes the packages again, whatever failed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
source "$here/common.sh"
build=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
took() { echo "$1 after ${SECONDS}s"; }

rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
programs=$(ls "$build"/reposa_*.deb)
dev=$(ls "$build"/libkeztocsock-dev_*.deb)
version=$(dpkg-deb -f "$programs" Version)
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
took "packages built"

files() { dpkg-deb -c "$1" | awk '{print $NF}' | grep -v '/$' | sed 's|^\./||' | sort; }
expect_files() {  # PACKAGE FILE...
  local package=$1 listed
  shift
  listed=$(files "$package")
  for want in "$@"; do
    grep -qx "$want" <<<"$listed" || { echo "missing from $package: $want"; exit 1; }
  done
}
expect_files "$programs" usr/bin/reposa usr/bin/reposa-console usr/bin/reposa-server \
  usr/share/man/man1/reposa.1.gz usr/share/man/man1/reposa-console.1.gz \
  usr/share/man/man1/reposa-server.1.gz \
  usr/lib/systemd/user/reposa-console@.service usr/lib/systemd/user/reposa-server.service \
  usr/share/applications/reposa.desktop usr/share/icons/hicolor/32x32/apps/reposa.png \
  usr/share/reposa/reposa-console.conf.example \
  usr/share/doc/reposa/copyright usr/share/doc/reposa/changelog.gz
expect_files "$dev" usr/include/kez/KezTOCSock.h "usr/lib/$arch/libkeztocsock.a" \
  "usr/lib/$arch/libkez_posix.a" "usr/lib/$arch/libkez_host.a" "usr/lib/$arch/cmake/KezTOCSock/KezTOCSockConfig.cmake" \
  "usr/lib/$arch/pkgconfig/keztocsock.pc" "usr/lib/$arch/pkgconfig/keztocsock-posix.pc" \
  usr/share/doc/libkeztocsock-dev/copyright usr/share/doc/libkeztocsock-dev/changelog.gz
both=$(comm -12 <(files "$programs") <(files "$dev"))
[ -z "$both" ] || { echo "in both packages: $both"; exit 1; }
depends=$(dpkg-deb -f "$programs" Depends)
for lib in libc6 libqt6widgets6 libsqlite3 libsodium; do
  grep -q "$lib" <<<"$depends" || { echo "reposa does not depend on $lib: $depends"; exit 1; }
done
unit=$(dpkg-deb --fsys-tarfile "$programs" | tar -xO ./usr/lib/systemd/user/reposa-server.service)
grep -q '^ExecStart=/usr/bin/reposa-server ' <<<"$unit" || { echo "$unit"; exit 1; }

# Nothing reported: every error and warning fails, and the informational tags
# are not shown. (Its standard error says only that it runs as root.)
report=$(lintian --fail-on error,warning "$programs" "$dev" 2>"$work/lintian.log") ||
  { echo "$report"; cat "$work/lintian.log"; exit 1; }
[ -z "$report" ] || { echo "lintian: $report"; exit 1; }
took "lintian passed"

# The user manager needs a runtime folder of its own, even to check units.
verify_units() {  # UNIT_DIR
  local runtime
  runtime=$(mktemp -d "$work/runtime.XXXXXX")
  XDG_RUNTIME_DIR=$runtime systemd-analyze --user verify "$1/reposa-server.service" \
    "$1/reposa-console@demo.service"
}
cmake --install "$build" --prefix "$work/prefix" --component Programs >/dev/null
verify_units "$work/prefix/lib/systemd/user"
took "units of a plain install verified"

# The rest installs the packages: skipped (status 77) where that is not ours
# to do.
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the packages are not installed"
  exit 77
fi
# One package test at a time on this machine, and never over a Reposa that
# someone installed: only one that a killed run of this test left (the marker
# says so) is ours to replace and remove.
exec 9>/tmp/reposa-package-test.lock
flock -w 600 9
marker=/var/tmp/reposa-package-test.installed
if dpkg-query -W -f='${Status}\n' reposa libkeztocsock-dev 2>/dev/null | grep -q ' installed' &&
  [ ! -e "$marker" ]; then
  echo "Reposa is installed on this machine already: the packages are not installed"
  exit 77
fi
cleanups+=("dpkg --purge reposa libkeztocsock-dev >/dev/null && rm -f $marker")
touch "$marker"
dpkg -i "$programs" "$dev" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
for program in reposa reposa-console reposa-server; do
  said=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "/usr/bin/$program" --version)
  [ "$said" = "$program $version" ] || { echo "/usr/bin/$program --version: $said"; exit 1; }
done
verify_units /usr/lib/systemd/user
took "installed; programs and units checked"

configure_and_build "$here/consumer" "$work/consumer"
grep -qx "KezTOCSock_DIR:PATH=/usr/lib/$arch/cmake/KezTOCSock" "$work/consumer/CMakeCache.txt" ||
  { grep KezTOCSock_DIR "$work/consumer/CMakeCache.txt"; exit 1; }
consume /usr/bin/reposa-server "$work/consumer/kez_consumer" "$work"
# shellcheck disable=SC2046
c++ -o "$work/parent" "$here/subproject/main.cpp" $(pkg-config --cflags --libs keztocsock-posix keztocsock-host)
"$work/parent"
took "outside project built against /usr"

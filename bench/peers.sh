# The chat daemons of another protocol that bench/run measures beside
# reposa-server, with the same driver and the same shapes: InspIRCd and
# ircd-hybrid, the IRC daemons Debian packages. Only their packaged programs
# run; each gets a configuration written here, on loopback, with its flood
# limits and per-address caps lifted as ours are for the bench.
#
# Sourced by bench/run. peer_start NAME DIR PORT prints the command line that
# runs NAME in the foreground with a configuration written to DIR.

PEERS="inspircd hybrid"

peer_package() {
  case $1 in
  inspircd) echo inspircd ;;
  hybrid) echo ircd-hybrid ;;
  esac
}

peer_program() {
  case $1 in
  inspircd) echo /usr/sbin/inspircd ;;
  hybrid) echo /usr/sbin/ircd-hybrid ;;
  esac
}

# peer_install NAME: installs the package when its program is missing; says
# why on standard error and fails when it cannot.
peer_install() {
  local program package
  program=$(peer_program "$1")
  package=$(peer_package "$1")
  [ -x "$program" ] && return 0
  if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
    echo "$package is not installed, and installing it needs apt-get as root" >&2
    return 1
  fi
  # Installed for its program only: a policy that keeps the package from
  # starting its own service, where the machine has none already.
  local policy=/usr/sbin/policy-rc.d added=
  if [ ! -e $policy ]; then
    printf '#!/bin/sh\nexit 101\n' >$policy && chmod +x $policy && added=1
  fi
  local status=0
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$package" \
    >"$results/apt-$package.log" 2>&1 || status=$?
  [ -z "$added" ] || rm -f $policy
  if [ $status != 0 ] || [ ! -x "$program" ]; then
    echo "apt-get could not install $package (see $results/apt-$package.log)" >&2
    return 1
  fi
}

# Both daemons refuse to run as root; the system's irc account runs them.
as_daemon_user() {
  if [ "$(id -u)" = 0 ]; then
    echo "$(command -v setpriv) --reuid=irc --regid=irc --init-groups --"
  fi
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

peer_start() {
  local name=$1 dir=$2 port=$3
  mkdir -p "$dir"
  case $name in
  inspircd)
    cat >"$dir/inspircd.conf" <<EOF
<server name="bench.reposa.invalid" description="bench peer" network="Bench">
<admin name="bench" nick="bench" email="bench@reposa.invalid">
<bind address="127.0.0.1" port="$port" type="clients">
<connect name="bench" allow="127.0.0.1" timeout="60" pingfreq="3600" useident="no"
         resolvehostnames="no" fakelag="no" threshold="1000000000"
         commandrate="1000000000" recvq="67108864" softsendq="67108864"
         hardsendq="1073741824" localmax="100000" globalmax="100000" limit="100000"
         maxconnwarn="off" maxchans="100">
<pid file="$dir/inspircd.pid">
<log method="file" type="* -USERINPUT -USEROUTPUT" level="sparse" target="$dir/inspircd.log">
EOF
    echo "$(as_daemon_user) /usr/sbin/inspircd --nofork --nopid --config=$dir/inspircd.conf"
    ;;
  hybrid)
    cat >"$dir/ircd.conf" <<EOF
serverinfo {
  name = "bench.reposa.invalid"; sid = "0BN"; description = "bench peer";
  network_name = "Bench"; network_desc = "bench"; hub = no;
  default_max_clients = 100000;
};
admin { name = "bench"; description = "bench"; email = "bench@reposa.invalid"; };
class {
  name = "users"; ping_time = 1 hour; number_per_ip_local = 100000;
  number_per_ip_global = 100000; number_per_cidr = 100000; max_number = 100000;
  max_channels = 100; sendq = 64 megabytes; recvq = 64 megabytes;
};
listen { host = "127.0.0.1"; port = $port; };
auth { user = "*@127.0.0.1"; class = "users"; flags = exceed_limit, can_flood, no_tilde; };
channel { max_channels = 100; default_join_flood_count = 0; };
general {
  disable_auth = yes; throttle_count = 0; throttle_time = 0;
  default_floodcount = 0; anti_nick_flood = no; ping_cookie = no;
};
EOF
    echo "$(as_daemon_user) /usr/sbin/ircd-hybrid -foreground -configfile $dir/ircd.conf" \
      "-logfile $dir/ircd.log -pidfile $dir/ircd.pid -klinefile $dir/kline" \
      "-dlinefile $dir/dline -xlinefile $dir/xline -resvfile $dir/resv"
    ;;
  esac
  [ "$(id -u)" != 0 ] || chown -R irc:irc "$dir"
}

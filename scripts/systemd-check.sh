#!/usr/bin/env bash
# Checks the service under a real systemd: builds a Debian 12 root with debootstrap, installs the
# Release build of corramon into it, boots it with systemd-nspawn -b and checks what the README
# says of the service: install and enable, start at boot, a start again after a kill, a stop that
# stays stopped, the start limit with the reason in the journal (and from corramon -s), and -l:
# the account's checks, and a live capture run as the account with no right but CAP_NET_RAW.
# Run as root on Debian 12 (it installs debootstrap and systemd-container); takes some minutes.
set -euo pipefail

usage="usage: scripts/systemd-check.sh
Builds a Debian 12 root (ROOT, default /var/tmp/corrana-systemd-root, kept for the next run),
installs build-release/ into its /opt/corrana, boots it with systemd-nspawn -b and checks the
service's behaviour under systemd. MIRROR names the Debian mirror (default
http://deb.debian.org/debian). Exit status 0 when every check holds, 1 otherwise."
case "${1:-}" in
  "") ;;
  -h | --help) echo "$usage"; exit 0 ;;
  *) echo "systemd-check.sh: unknown argument $1" >&2; echo "$usage" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  echo "systemd-check.sh: needs root (debootstrap, systemd-nspawn)" >&2
  exit 1
fi

. scripts/ensure-packages.sh
ensure_packages cmake ninja-build g++ libpcap-dev debootstrap systemd-container

root=${ROOT:-/var/tmp/corrana-systemd-root}
mirror=${MIRROR:-http://deb.debian.org/debian}
machine=corrana-check
prefix=/opt/corrana
failures=0

not() { ! "$@"; }
check() {  # check DESCRIPTION COMMAND...: runs the command, says whether it held
  if "${@:2}"; then
    echo "ok: $1"
  else
    echo "FAILED: $1" >&2
    failures=$((failures + 1))
  fi
}

if [ ! -x "$root/bin/systemctl" ]; then
  echo "Building a Debian 12 root in $root ..."
  rm -rf "$root"
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,libpcap0.8,iproute2,procps \
    bookworm "$root" "$mirror" >/dev/null
  echo "$machine" >"$root/etc/hostname"
fi

echo "Building the monitor (Release, build-release/) and installing it into $root$prefix ..."
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORRANA_TESTS=OFF >/dev/null
cmake --build build-release >/dev/null
rm -rf "${root:?}$prefix"
DESTDIR=$root cmake --install build-release --prefix "$prefix" >/dev/null
trace=Monitor/libwire/tests/data/http_nginx_curl.pcap
cp "$trace" "$root/srv/sample.pcap"
admin=$root$prefix/conf/admin

nspawn=
leader=
boot() {  # boots the root; leader is its init's pid once systemd says it is up
  systemd-nspawn -q -D "$root" -M "$machine" --private-network --register=no --keep-unit -b \
    >"$root/../corrana-check-console.log" 2>&1 &
  nspawn=$!
  leader=
  for _ in $(seq 1 120); do
    sleep 1
    leader=$(pgrep -P "$nspawn" -x systemd || true)
    [ -n "$leader" ] || continue
    state=$(inside systemctl is-system-running 2>/dev/null || true)
    case "$state" in running | degraded) return 0 ;; esac
  done
  echo "systemd-check.sh: the root did not boot (see $root/../corrana-check-console.log)" >&2
  exit 1
}
inside() { nsenter --target "$leader" --mount --uts --ipc --net --pid -- "$@"; }
shutdown() {
  [ -n "$nspawn" ] || return 0
  inside systemctl poweroff >/dev/null 2>&1 || true
  for _ in $(seq 1 60); do kill -0 "$nspawn" 2>/dev/null || break; sleep 1; done
  kill "$nspawn" 2>/dev/null || true
  wait "$nspawn" 2>/dev/null || true
  nspawn=
}
trap shutdown EXIT
active() { [ "$(inside systemctl is-active corramon 2>/dev/null)" = "$1" ]; }
mainPid() { inside systemctl show -p MainPID --value corramon; }
startsAndRuns() { inside "$prefix/bin/corramon" -s >/dev/null && active active; }
statusRunning() { inside systemctl show -p StatusText --value corramon | grep -qx Running; }
# Whether the unit's journal since $since holds $1 (ignoring case with -i as $2).
journalSays() { inside journalctl -u corramon --since "@$since" --no-pager | grep -q ${2:-} -- "$1"; }
since=0
# Waits up to $2 s for the unit to be in state $1.
becomes() {
  for _ in $(seq 1 "$2"); do active "$1" && return 0; sleep 1; done
  active "$1"
}

# The sample's set-up: the shipped trace as the adapter, its server watched.
printf 'adapter: file:/srv/sample.pcap\n' >"$admin/adapters.cfg"
printf 'http: 198.18.0.1:80\n' >"$admin/installa.cfg"

echo "Booting $root ..."
boot
inside systemctl disable --now corramon >/dev/null 2>&1 || true
rm -f "$root/etc/systemd/system/corramon.service"
inside systemctl daemon-reload
out=$(inside "$prefix/bin/corramon" -i)
check "corramon -i installs and enables the service" \
  test "$(inside systemctl is-enabled corramon)" = enabled
check "-i says what it did" grep -q "enabled to start at boot" <<<"$out"
out=$(inside "$prefix/bin/corramon" -i || true)
check "a second -i says the service is installed" grep -q "already installed" <<<"$out"
check "corramon -s starts it, and systemd hears that it runs" startsAndRuns
check "the status says Running" statusRunning

echo "Rebooting ..."
shutdown
boot
check "it starts at boot" becomes active 30

pid=$(mainPid)
inside kill -9 "$pid"
sleep 1
check "after a kill systemd starts it again" becomes active 15
check "  in a new process" test "$(mainPid)" != "$pid"

out=$(inside "$prefix/bin/corramon" -e || true)
check "corramon -e stops it" active inactive
sleep 8
check "a stop stays stopped" active inactive
out=$(inside "$prefix/bin/corramon" -e || true)
check "-e on a stopped service says so and succeeds" grep -q "is not running" <<<"$out"

# A missing capture file: systemd starts it again until the start limit, then gives up, failed,
# and the journal and corramon -s say why.
printf 'adapter: file:/srv/missing.pcap\n' >"$admin/adapters.cfg"
since=$(date +%s)
inside systemctl start corramon >/dev/null 2>&1 || true
check "a start that keeps failing reaches the start limit" becomes failed 60
check "  the journal says why" journalSays "can't replay /srv/missing.pcap"
out=$(inside "$prefix/bin/corramon" -s 2>&1 || true)
check "corramon -s of a failing start prints the reason from the journal" \
  grep -q "can't replay /srv/missing.pcap" <<<"$out"
inside systemctl stop corramon >/dev/null 2>&1 || true

# -l: the account must exist and write the install directory; then it runs as that account and
# captures live on the root's loopback with CAP_NET_RAW as its only capability.
inside "$prefix/bin/corramon" -u >/dev/null || true
inside userdel corra >/dev/null 2>&1 || true
out=$(inside "$prefix/bin/corramon" -i -l corra || true)
check "-l with no such account is refused, naming it" grep -q "no account named corra" <<<"$out"
inside useradd --system --no-create-home corra
out=$(inside "$prefix/bin/corramon" -i -l corra || true)
check "-l with an account that can't write the install directory is refused, saying so" \
  grep -q "can't write" <<<"$out"
inside chown -R corra "$prefix/conf"
printf 'adapter: lo\n' >"$admin/adapters.cfg"
inside "$prefix/bin/corramon" -i -l corra >/dev/null || true
since=$(date +%s)
inside "$prefix/bin/corramon" -s >/dev/null || true
sleep 5
check "as the account it captures live on lo" active active
pid=$(mainPid)
check "  as the account" test "$(inside ps -o user= -p "$pid" | tr -d ' ')" = corra
# CAP_NET_RAW is bit 13.
check "  with CAP_NET_RAW alone" inside grep -qx 'CapEff:	0000000000002000' "/proc/$pid/status"
check "  without a word about permissions" not journalSays permission -i
inside "$prefix/bin/corramon" -u >/dev/null || true

if [ "$failures" -ne 0 ]; then
  echo "systemd-check.sh: $failures checks failed" >&2
  exit 1
fi
echo "systemd-check.sh: every check held"

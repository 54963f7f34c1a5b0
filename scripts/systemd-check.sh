#!/usr/bin/env bash
# Checks the service under a real systemd: builds a Debian 12 root with debootstrap, installs the
# Release build of corramon into it, boots it with systemd-nspawn -b and checks what the README
# says of the service: install and enable (and a second install), start, a start of a running
# service, the "Running" status after a start and after boot, a start again after a kill and
# after the capture console's restart commands (30 and 35), a stop that stays stopped, the start
# limit with the reason in the journal (and from corramon -s), removal, and -l: the account's
# checks, and a live capture run as the account with no right but CAP_NET_RAW, whose traffic
# reaches the archive. Each check looks at the exit status and the words of the command it names.
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
console=$root/../corrana-check-console.log
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

# busybox is the live capture's web server and client.
packages=systemd,systemd-sysv,dbus,libpcap0.8,iproute2,procps,busybox
if [ ! -x "$root/bin/systemctl" ]; then
  echo "Building a Debian 12 root in $root ..."
  rm -rf "$root"
  debootstrap --variant=minbase --include=$packages bookworm "$root" "$mirror" >/dev/null
  echo "$machine" >"$root/etc/hostname"
elif [ ! -x "$root/bin/busybox" ]; then
  # A root kept from a run that did not need it yet.
  DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -qq busybox >/dev/null
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
    >"$console" 2>&1 &
  nspawn=$!
  leader=
  for _ in $(seq 1 120); do
    sleep 1
    kill -0 "$nspawn" 2>/dev/null || break
    leader=$(pgrep -P "$nspawn" -x systemd || true)
    [ -n "$leader" ] || continue
    state=$(inside systemctl is-system-running 2>/dev/null || true)
    case "$state" in running | degraded) return 0 ;; esac
  done
  echo "systemd-check.sh: the root did not boot; the last lines of its console ($console):" >&2
  tail -n 20 "$console" >&2
  exit 1
}
# Inside the booted root: its namespaces, and its root and working folder, so that a script run
# from a root bound onto itself does not look at its own.
inside() { nsenter --target "$leader" --mount --uts --ipc --net --pid --root --wd -- "$@"; }
shutdown() {
  [ -n "$nspawn" ] || return 0
  inside systemctl poweroff >/dev/null 2>&1 || true
  for _ in $(seq 1 60); do kill -0 "$nspawn" 2>/dev/null || break; sleep 1; done
  kill "$nspawn" 2>/dev/null || true
  wait "$nspawn" 2>/dev/null || true
  nspawn=
}
errors=$(mktemp)
trap 'shutdown; rm -f "$errors"' EXIT
# run COMMAND...: runs corramon (or another command) inside; its standard output in $out, its
# standard error in $err and its exit status in $rc.
run() {
  rc=0
  out=$(inside "$@" 2>"$errors") || rc=$?
  err=$(cat "$errors")
}
corramon() { run "$prefix/bin/corramon" "$@"; }
# Whether the last run ended with status $1 and its stream $2 (out or err) holds $3.
said() { [ "$rc" = "$1" ] && grep -q -- "$3" <<<"${!2}"; }
active() { [ "$(inside systemctl is-active corramon 2>/dev/null)" = "$1" ]; }
mainPid() { inside systemctl show -p MainPID --value corramon; }
statusRunning() { [ "$(inside systemctl show -p StatusText --value corramon)" = Running ]; }
# Whether the unit's journal since $since holds $1 (ignoring case with -i as $2).
journalSays() { inside journalctl -u corramon --since "@$since" --no-pager | grep -q ${2:-} -- "$1"; }
since=0
# Whether the last run ended with status 0, saying $1, and the unit is now in state $2.
saidAndIs() { said 0 out "$1" && active "$2"; }
# Whether the private file of the capture engine keeps $1 days of data.
keepsDays() { grep -A1 -x '# Days of data to keep' "$admin/cengine_prvt.cfg" | grep -qx "$1"; }
# Waits up to $1 s for the unit to have failed on its start limit, as systemd's journal says.
limitReached() { becomes failed "$1" && journalSays "Start request repeated too quickly"; }
# Whether the journal since $since shows the live capture on lo and not a word on permissions.
quietOnPermissions() { journalSays "capturing on lo" && not journalSays permission -i; }
# Waits up to $2 s for the unit to be in state $1.
becomes() {
  for _ in $(seq 1 "$2"); do active "$1" && return 0; sleep 1; done
  active "$1"
}
# Waits up to $1 s for the unit to run in a process other than $2.
runsAgainAfter() {
  for _ in $(seq 1 "$1"); do
    local now
    now=$(mainPid)
    [ "$now" != 0 ] && [ "$now" != "$2" ] && active active && return 0
    sleep 1
  done
  return 1
}
# Waits up to $1 s for the text $2 in what the export tool writes of the archive.
exported() {
  for _ in $(seq 1 "$1"); do
    inside "$prefix/bin/corradump" -db "$prefix/conf" 2>/dev/null | grep -q -- "$2" && return 0
    sleep 1
  done
  return 1
}

# The capture console's requests, written byte by byte as the console encodes them (big-endian;
# an unsigned 32-bit value in 8 bytes, the high four 0). A request of code $1 with the key the
# running engine drew, followed by $2 (escapes for printf %b); its reply in $reply.
hex32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255)); }
u32() { printf '\\x00\\x00\\x00\\x00%s' "$(hex32 "$1")"; }
ask() {
  local key frame
  key=$(tr -dc 0-9 <"$admin/cengineKey")
  frame="POST /controlReq.cgi HTTP/1.0\n\n\r\r\r\r$(hex32 "$1")root\n${password}\n$(u32 7)$(u32 "$key")$2"
  reply=$(inside timeout 10 bash -c 'exec 3<>/dev/tcp/127.0.0.1/8189 && printf "%b" "$1" >&3 &&
    cat <&3 | tr -d "\0"' _ "$frame" || true)
}
# A whole configuration as code 30 reads it: version 1, no device, port 8189, no filter, the days
# to keep, no MIME type, the root password, no network restriction (a one-byte boolean) and no
# network.
configuration() {
  printf '%s\\n%s\\n%s\\x00\\x00\\x00\\x00%s\\n\\x00\\x00\\x00\\x00\\x00' "$(u32 1)" "$(u32 8189)" \
    "$(u32 "$1")" "$password"
}
password=check

# The sample's set-up: the shipped trace as the adapter, its server watched, a capture console
# password.
printf 'adapter: file:/srv/sample.pcap\n' >"$admin/adapters.cfg"
printf 'http: 198.18.0.1:80\n' >"$admin/installa.cfg"
sed -i "s/^password{}/password{$password}/" "$admin/cengine_prvt.cfg"

echo "Booting $root ..."
boot
inside systemctl disable --now corramon >/dev/null 2>&1 || true
rm -f "$root/etc/systemd/system/corramon.service"
inside systemctl daemon-reload
corramon -i
check "corramon -i installs and enables the service" \
  test "$rc:$(inside systemctl is-enabled corramon)" = 0:enabled
check "  and says what it did" said 0 out "enabled to start at boot"
corramon -i
check "a second -i changes nothing and succeeds, saying so" said 0 out "already installed as asked"
corramon -s
check "corramon -s starts it, and systemd hears that it runs" saidAndIs started active
check "  the status says Running" statusRunning
pid=$(mainPid)
corramon -s
check "-s on a running service says so and succeeds" said 0 out "is already running"
check "  and starts no other process" test "$(mainPid)" = "$pid"

echo "Rebooting ..."
shutdown
boot
check "it starts at boot" becomes active 30
check "  and the status says Running" statusRunning

# Kills the service's process (none when it does not run: a kill of pid 0 would end this
# script) and waits for systemd to start it again in a new one.
killedAndBack() {
  local pid
  pid=$(mainPid)
  [ "$pid" != 0 ] && inside kill -9 "$pid" && runsAgainAfter 15 "$pid"
}
check "after a kill systemd starts it again, in a new process" killedAndBack

# The capture console's stop (35) and new configuration (30) end the process on purpose, after
# their reply; systemd starts it again. Clears the count of the start limit the kill began.
inside systemctl reset-failed corramon || true
pid=$(mainPid)
ask 35 ""
check "the capture console's stop (35) is acknowledged" grep -q OK <<<"$reply"
check "  and systemd starts the monitor again" runsAgainAfter 20 "$pid"
pid=$(mainPid)
ask 30 "$(configuration 17)"
check "the capture console's new configuration (30) is acknowledged" grep -q OK <<<"$reply"
check "  and systemd starts the monitor again" runsAgainAfter 20 "$pid"
check "  which keeps it" keepsDays 17

corramon -e
check "corramon -e stops it" saidAndIs stopped inactive
sleep 8
check "a stop stays stopped" active inactive
corramon -e
check "-e on a stopped service says so and succeeds" said 0 out "is not running"

# A missing capture file: systemd starts it again until the start limit, then gives up, failed,
# and the journal and corramon -s say why.
printf 'adapter: file:/srv/missing.pcap\n' >"$admin/adapters.cfg"
since=$(date +%s)
inside systemctl start corramon >/dev/null 2>&1 || true
check "a start that keeps failing reaches the start limit" limitReached 60
check "  the journal says why" journalSays "can't replay /srv/missing.pcap"
corramon -s
check "corramon -s of a failing start fails and prints the reason from the journal" \
  said 1 err "can't replay /srv/missing.pcap"
inside systemctl stop corramon >/dev/null 2>&1 || true

corramon -u
check "corramon -u removes the service" said 0 out "removed"
check "  its unit is gone" test ! -e "$root/etc/systemd/system/corramon.service"
check "  and systemd knows it no more" test "$(inside systemctl show -p LoadState --value corramon)" = not-found
corramon -u
check "-u on a service not installed says so and succeeds" said 0 out "is not installed"

# -l: the account must exist and write the install directory; then it runs as that account and
# captures live on the root's loopback with CAP_NET_RAW as its only capability: a client's
# requests to a watched web server there reach the archive.
inside userdel corra >/dev/null 2>&1 || true
corramon -i -l corra
check "-l with no such account is refused, naming it" said 1 err "no account named corra"
inside useradd --system --no-create-home corra
corramon -i -l corra
check "-l with an account that can't write the install directory is refused, saying so" \
  said 1 err "can't write"
printf 'adapter: lo\n' >"$admin/adapters.cfg"
printf 'http: 127.0.0.1:8080\n' >"$admin/installa.cfg"
inside chown -R corra "$prefix/conf"
corramon -i -l corra
check "-i -l with an account that can write installs the service for it" said 0 out "installed"
since=$(date +%s)
corramon -s
check "as the account it starts" saidAndIs started active
pid=$(mainPid)
check "  as the account" test "$(inside ps -o user= -p "$pid" | tr -d ' ')" = corra
# CAP_NET_RAW is bit 13.
check "  with CAP_NET_RAW alone" inside grep -qx 'CapEff:	0000000000002000' "/proc/$pid/status"
mkdir -p "$root/srv/www"
echo probe >"$root/srv/www/probe.html"
httpd=$(inside sh -c 'busybox httpd -f -p 127.0.0.1:8080 -h /srv/www >/dev/null 2>&1 & echo $!')
for _ in 1 2 3; do inside busybox wget -q -O /dev/null http://127.0.0.1:8080/probe.html || true; done
check "  and captures live on lo: a watched server's requests reach the archive" \
  exported 30 '"GET /probe.html HTTP/1.[01]" 200'
check "  its journal says it captures on lo, and nothing about permissions" quietOnPermissions
inside kill "$httpd" || true
corramon -u

if [ "$failures" -ne 0 ]; then
  echo "systemd-check.sh: $failures checks failed" >&2
  exit 1
fi
echo "systemd-check.sh: every check held"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Part of tests/install/run.sh: the packages under a real systemd. Boots a minimal Debian 12 tree
# with systemd as PID 1 in systemd-nspawn (its own network, a throw-away overlay over the cached
# tree), installs both packages there and checks the unit as an operator meets it: running,
# logging, answering, restarted after a crash, confined, stopped and purged.
#   container.sh BUILD_DIR WORK_DIR   (WORK_DIR holds the two .deb files)
# The tree is made once from this machine's apt sources and kept in /var/cache/tokenbridge-test.
set -euo pipefail
build=$1
work=$2
fail() { echo "install test (systemd): FAILED: $*" >&2; exit 1; }
step() { echo "install test (systemd): $*"; }

# What the container needs beyond a minimal system: systemd to boot, a system bus to hide from
# the daemon, and the daemon's libraries (it has no network to fetch them).
include=systemd,systemd-sysv,dbus,libjsoncpp25,libmbedcrypto7,libmbedtls14,libmbedx509-1
cache=/var/cache/tokenbridge-test
tree=$cache/bookworm-$(printf '%s' "$include" | sha256sum | cut -c1-12)
started=$SECONDS
if [ ! -d "$tree" ]; then
  step "making the container's tree in $tree (once)"
  mkdir -p "$cache"
  rm -rf "$tree.new"
  sources=""
  for file in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list; do
    [ -n "$sources" ] || [ ! -s "$file" ] || sources=$file
  done
  [ -n "$sources" ] || fail "no apt sources on this machine to make the tree from"
  mmdebstrap --variant=minbase --include="$include" bookworm "$tree.new" "$sources" >"$work/mmdebstrap.log" 2>&1 ||
    { tail -20 "$work/mmdebstrap.log"; fail "mmdebstrap failed"; }
  mv "$tree.new" "$tree"
  step "tree made in $((SECONDS - started)) s"
fi

# systemd-nspawn as this machine allows it: PID 1 here is not systemd (no machine registration,
# no unit of its own); pure cgroup v2 and bpf() allowed, without which DevicePolicy= is silently off.
mkdir -p "$work/shared"
cp "$work"/tokenbridge_*.deb "$work"/tokenbridge-softtoken_*.deb "$work"/tokenbridge-agent_*.deb "$build/tests/install/ws_request" "$work/shared/"
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn --quiet --register=no --keep-unit --boot \
  --volatile=overlay --private-network --system-call-filter=bpf --directory="$tree" \
  --bind-ro="$work/shared:/mnt/shared" >"$work/nspawn.log" 2>&1 &
nspawn=$!
leader=""
finish() {
  [ -z "$leader" ] || kill -RTMIN+4 "$leader" 2>/dev/null || true  # systemd: power off
  for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || return 0; sleep 0.1; done
  kill "$nspawn" 2>/dev/null || true
}
trap finish EXIT
# The container's PID 1: the child of nspawn that runs systemd (its setup child comes and goes first).
for _ in $(seq 300); do
  for child in $(ps -o pid= --ppid "$nspawn" || true); do
    [ "$(cat "/proc/$child/comm" 2>/dev/null)" != systemd ] || leader=$child
  done
  [ -z "$leader" ] || break
  sleep 0.1
done
[ -n "$leader" ] || { cat "$work/nspawn.log"; fail "the container did not start"; }
inside() { nsenter -t "$leader" -a "$@"; }
boot=$SECONDS
for _ in $(seq 300); do
  state=$(inside systemctl is-system-running 2>/dev/null) || true
  case $state in running | degraded) break ;; esac
  sleep 0.1
done
case $state in running | degraded) ;; *) fail "the container's systemd did not finish booting ($state)" ;; esac
step "booted in $((SECONDS - boot)) s"

step "installing both packages"
inside sh -c 'dpkg -i /mnt/shared/*.deb' >"$work/container-install.log" 2>&1 ||
  { cat "$work/container-install.log"; fail "dpkg -i failed in the container"; }
unit=tokenbridged.service
inside systemctl is-active --quiet "$unit" || fail "$unit is not active after install"
main_pid() { inside systemctl show -P MainPID "$unit"; }
pid=$(main_pid)
[ "$(inside readlink "/proc/$pid/exe")" = /usr/sbin/tokenbridged ] || fail "the main process ($pid) is not tokenbridged"
inside systemctl status --no-pager "$unit" | grep -Eq "Main PID: $pid \(tokenbridged\)" ||
  fail "systemctl status does not show tokenbridged as the main process"
inside journalctl -t tokenbridged -o cat | grep -q "^started: version .*, port 9446 and \[::1\]:9446, SKF library " ||
  fail "journalctl -t tokenbridged shows no start line"

step "the agent's socket and the remembered answers' directory, as the unit makes them"
[ "$(inside stat -c %A /run/tokenbridge/agent.sock)" = srw-rw-rw- ] ||
  fail "/run/tokenbridge/agent.sock is $(inside stat -c %A /run/tokenbridge/agent.sock 2>&1), not a socket any user can connect to"
[ "$(inside stat -c '%a %U' /var/lib/tokenbridge/consent)" = "700 root" ] ||
  fail "/var/lib/tokenbridge/consent is $(inside stat -c '%a %U' /var/lib/tokenbridge/consent 2>&1), not 700 root"
# A user's agent reaches the daemon through the sandbox (no answers remembered yet).
listed=$(inside setpriv --reuid=65534 --regid=65534 --clear-groups tokenbridge-agent --list 2>&1) ||
  fail "tokenbridge-agent --list as a user failed: $listed"
[ "$listed" = "no remembered answers" ] || fail "tokenbridge-agent --list as a user printed: $listed"
inside test -f /etc/xdg/autostart/tokenbridge-agent.desktop || fail "the agent's autostart file is missing"

step "requests, a wrong PIN and a right one"
request() { inside /mnt/shared/ws_request 9446 "$@"; }
tries() { inside softtoken show --json | sed -n '/"user"/,/}/s/.*"tries_left" : \([0-9]*\).*/\1/p'; }
expect() {
  local got
  got=$(request "$1") || fail "no reply to $1"
  [ "$got" = "$2" ] || fail "$1: expected $2, got $got"
}
expect '{"type":"GetUserName"}' '{"type":"GetUserName", "code":"0", "data":"TB0123456789ABCDEF01"}'
[ "$(tries)" = 6 ] || fail "the new token has $(tries) tries, not 6"
expect '{"type":"VerifyUserPin","parm2":"Wx9Wrong77"}' '{"type":"VerifyUserPin", "code":"1", "data":"0"}'
# The tries are the token's state on disk, written by the sandboxed daemon.
[ "$(tries)" = 5 ] || fail "a wrong PIN left $(tries) tries on the token, not 5"
expect '{"type":"VerifyUserPin","parm2":"12345678"}' '{"type":"VerifyUserPin", "code":"0", "data":"1"}'
[ "$(tries)" = 6 ] || fail "the right PIN left $(tries) tries, not 6"

step "the daemon's confinement, seen from its own cgroup and namespaces"
# A shell joins the service's cgroup (where the device rules apply) and enters its mount and IPC
# namespaces; the same probes run outside it as the control. Device nodes: /dev/net/tun stands for
# any node the unit does not allow; a hidraw node (the kernel has no such device behind it) must get
# past the device rules to the kernel's "No such device or address".
cgroup=$(inside systemctl show -P ControlGroup "$unit")
hidraw_major=$(inside sed -n 's/^ *\([0-9]*\) hidraw$/\1/p' /proc/devices)
[ -n "$hidraw_major" ] || fail "the kernel lists no hidraw devices"
inside mknod /dev/tokenbridge-probe-hidraw c "$hidraw_major" 250
probes='
  for node in /dev/net/tun /dev/tokenbridge-probe-hidraw /dev/null; do
    if why=$( (exec 3<>"$node") 2>&1); then echo "$node: opened"; else echo "$node: ${why##*: }"; fi
  done
  for socket in /run/dbus/system_bus_socket /run/systemd/private; do
    perl -MIO::Socket::UNIX -e "exit !IO::Socket::UNIX->new(Peer => shift)" "$socket" &&
      echo "$socket: connected" || echo "$socket: refused"
  done
  logger -t tokenbridge-probe "from $1"
  echo "ipc: $(readlink /proc/self/ns/ipc)"'
probe_service() {
  inside sh -c 'echo $$ >"/sys/fs/cgroup$1/cgroup.procs" && exec nsenter -t "$2" -m -i sh -c "$3" sh service' \
    sh "$cgroup" "$(main_pid)" "$probes"
}
outside=$(inside sh -c "$probes" sh outside)
confined=$(probe_service)
expected_outside="/dev/net/tun: opened
/dev/tokenbridge-probe-hidraw: No such device or address
/dev/null: opened
/run/dbus/system_bus_socket: connected
/run/systemd/private: connected"
expected_confined="/dev/net/tun: Operation not permitted
/dev/tokenbridge-probe-hidraw: No such device or address
/dev/null: opened
/run/dbus/system_bus_socket: refused
/run/systemd/private: refused"
[ "$(echo "$outside" | head -5)" = "$expected_outside" ] || fail "the control probes outside the service found: $outside"
[ "$(echo "$confined" | head -5)" = "$expected_confined" ] || fail "from the service's context: $confined"
[ "$(echo "$outside" | tail -1)" != "$(echo "$confined" | tail -1)" ] || fail "the service shares the machine's IPC namespace"
for where in outside service; do
  for _ in $(seq 30); do inside journalctl -t tokenbridge-probe -o cat | grep -qx "from $where" && break; sleep 0.1; done
  inside journalctl -t tokenbridge-probe -o cat | grep -qx "from $where" || fail "/dev/log does not reach the journal from $where"
done

step "a drop-in allowing one more device node, as SECURITY.md shows a token maker how"
inside mkdir -p /etc/systemd/system/$unit.d
printf '[Service]\nDeviceAllow=/dev/net/tun rw\n' | inside tee /etc/systemd/system/$unit.d/device.conf >/dev/null
inside systemctl daemon-reload
inside systemctl restart "$unit"
[ "$(probe_service | head -2)" = "/dev/net/tun: opened
/dev/tokenbridge-probe-hidraw: No such device or address" ] || fail "the drop-in did not allow /dev/net/tun: $(probe_service)"
inside rm -r /etc/systemd/system/$unit.d
inside systemctl daemon-reload
pid=$(main_pid)

step "a token call that does not return: other requests answered, logged after 10 s and when it returns"
journal_has() {
  for _ in $(seq 50); do inside journalctl -t tokenbridged -o cat | grep -Eq "$1" && return 0; sleep 0.1; done
  return 1
}
inside softtoken stick SKF_EnumDev >/dev/null
stuck_since=$SECONDS
# The client gives up after 5 s and leaves; the call it started stays under way.
! request '{"type":"GetDevState"}' >/dev/null 2>&1 || fail "GetDevState was answered while SKF_EnumDev is stuck"
expect '{"type":"GetLibVersion"}' '{"type":"GetLibVersion", "code":"0", "data":"1.0.220104"}'
# While there is token work the loop thread yields to it (3: SCHED_BATCH), through the unit's
# system call filter; it is a usual thread again (0) once the work is done.
loop_policy() { inside awk '{print $41}' "/proc/$(main_pid)/stat"; }
[ "$(loop_policy)" = 3 ] || fail "the loop thread's policy is $(loop_policy) while a token call is under way, not SCHED_BATCH"
sleep $((stuck_since + 10 - SECONDS > 0 ? stuck_since + 10 - SECONDS : 0))
journal_has '^token library call SKF_EnumDev has not returned for 1[0-9]\.[0-9] s; token requests wait until it does$' ||
  fail "no journal line for the stuck SKF_EnumDev after $((SECONDS - stuck_since)) s"
inside softtoken release SKF_EnumDev >/dev/null
journal_has '^SKF_EnumDev returned after 1[0-9]\.[0-9] s$' || fail "no journal line for the stuck call's return"
expect '{"type":"GetDevState"}' '{"type":"GetDevState", "code":"0", "data":"1"}'
for _ in $(seq 50); do [ "$(loop_policy)" = 0 ] && break; sleep 0.1; done
[ "$(loop_policy)" = 0 ] || fail "the loop thread's policy is $(loop_policy) after the token work, not SCHED_OTHER"

step "kill -9 of the main process: Restart=on-failure brings it back"
inside sh -c 'kill -KILL "$1"' sh "$pid"
for _ in $(seq 100); do
  new=$(main_pid)
  [ "$new" != 0 ] && [ "$new" != "$pid" ] && inside systemctl is-active --quiet "$unit" && break
  sleep 0.1
done
[ "$new" != 0 ] && [ "$new" != "$pid" ] || fail "the service did not come back after kill -9"
expect '{"type":"GetLibVersion"}' '{"type":"GetLibVersion", "code":"0", "data":"1.0.220104"}'

step "stop and purge"
inside systemctl stop "$unit"
[ "$(inside systemctl show -P Result "$unit")" = success ] || fail "the stop did not end in success"
! inside systemctl is-active --quiet "$unit" || fail "$unit is still active after stop"
inside test ! -e "/proc/$new" || fail "the daemon ($new) outlived systemctl stop"
inside dpkg --purge tokenbridge-agent tokenbridge tokenbridge-softtoken >>"$work/container-install.log" 2>&1 ||
  { cat "$work/container-install.log"; fail "dpkg --purge failed in the container"; }
left=$(inside find /etc /usr /var /run -xdev \( -name '*tokenbridge*' -o -name '*softtoken*' -o -name '*kv_5100rt*' \) \
  -print 2>/dev/null || true)
[ -z "$left" ] || fail "left after purge in the container: $left"
step "passed in $((SECONDS - started)) s"

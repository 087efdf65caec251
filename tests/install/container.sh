#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Part of tests/install/run.sh: the packages under a real systemd. Boots a minimal Debian 12 tree
# with systemd as PID 1 in systemd-nspawn (its own network, a throw-away overlay over the cached
# tree), installs both packages there and checks the unit as an operator meets it: running as its
# own user on the loopback addresses only, logging, answering, restarted after a crash, confined,
# stopped and purged.
#   container.sh BUILD_DIR WORK_DIR   (WORK_DIR holds the two .deb files)
# The tree is made once from this machine's apt sources and kept in /var/cache/tokenbridge-test.
set -euo pipefail
build=$1
work=$2
fail() { echo "install test (systemd): FAILED: $*" >&2; exit 1; }
step() { echo "install test (systemd): $*"; }

# What the container needs beyond a minimal system: systemd to boot, a system bus to hide from
# the daemon, and what our packages depend on (it has no network to fetch them), read from the
# packages themselves: the first of each alternative, without versions.
depends=$(for deb in "$work"/tokenbridge*_*.deb; do dpkg-deb -f "$deb" Depends; done | tr ',' '\n' |
  sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' | grep -v -e '^$' -e '^tokenbridge' | sort -u | paste -sd, -)
include=systemd,systemd-sysv,dbus,$depends
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
# nspawn's own system call filter also refuses Landlock, which a machine booted on its own allows:
# let through, so that the unit's filter is what decides, as there.
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn --quiet --register=no --keep-unit --boot \
  --volatile=overlay --private-network --system-call-filter="bpf landlock_create_ruleset landlock_add_rule landlock_restrict_self" --directory="$tree" \
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
inside journalctl -t tokenbridged -o cat | grep -q "^started: version .*, 127\.0\.0\.1:9446, \[::1\]:9446, SKF library " ||
  fail "journalctl -t tokenbridged shows no start line"

step "the service's user: no capability, no way to gain one, files owner-only"
user=tokenbridge
uid=$(inside id -u "$user") || fail "installing made no user $user"
gid=$(inside id -g "$user")
status=$(inside cat "/proc/$pid/status")
for field in "Uid:	$uid	$uid	$uid	$uid" "Gid:	$gid	$gid	$gid	$gid" "CapEff:	0000000000000000" \
  "CapBnd:	0000000000000000" "NoNewPrivs:	1" "Umask:	0077"; do
  echo "$status" | grep -qx "$field" || fail "the daemon's /proc status has no line '$field': $(echo "$status" | grep "^${field%%:*}:")"
done

step "the service answers this computer only"
# Another address of the container: one end of a veth pair in its network, IPv4 and IPv6.
in_network() { nsenter -t "$leader" -n "$@"; }
in_network ip link add tokenbridge0 type veth peer name tokenbridge1
in_network ip addr add 192.0.2.1/24 dev tokenbridge0
in_network ip -6 addr add 2001:db8::1/64 dev tokenbridge0 nodad
in_network ip link set tokenbridge0 up
in_network ip link set tokenbridge1 up
held=$(in_network ss -Hltunp | grep '"tokenbridged"' | awk '{print $1, $5}' | sort)
echo "install test (systemd): tokenbridged holds: $(echo $held)"
[ "$held" = "tcp 127.0.0.1:9446
tcp [::1]:9446" ] || fail "tokenbridged holds other sockets than 127.0.0.1:9446 and [::1]:9446: $held"
for address in 127.0.0.1 ::1 192.0.2.1 2001:db8::1; do
  if why=$(in_network bash -c '(exec 3<>"/dev/tcp/$1/9446")' sh "$address" 2>&1); then got=accepted; else got=${why##*: }; fi
  echo "install test (systemd): connect to $address port 9446: $got"
  case $address in
    127.0.0.1 | ::1) [ "$got" = accepted ] || fail "a connection to $address:9446 was not accepted: $got" ;;
    *) [ "$got" = "Connection refused" ] || fail "a connection to $address:9446 was not refused: $got" ;;
  esac
done

step "the agent's socket and the remembered answers' directory, as the unit makes them"
[ "$(inside stat -c %A /run/tokenbridge/agent.sock)" = srw-rw-rw- ] ||
  fail "/run/tokenbridge/agent.sock is $(inside stat -c %A /run/tokenbridge/agent.sock 2>&1), not a socket any user can connect to"
[ "$(inside stat -c '%a %U' /var/lib/tokenbridge/consent)" = "700 tokenbridge" ] ||
  fail "/var/lib/tokenbridge/consent is $(inside stat -c '%a %U' /var/lib/tokenbridge/consent 2>&1), not 700 tokenbridge"
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

step "the service's files: its user's, and no other user's to change"
# Whatever mode a file has, another user (nobody here) can neither change it nor add one beside it.
tried=0
for directory in /var/lib/tokenbridge /var/lib/tokenbridge/consent /run/tokenbridge /var/lib/softtoken; do
  owners=$(inside find "$directory" -mindepth 0 ! -user "$user" -printf '%u %p\n')
  [ -z "$owners" ] || fail "not $user's: $owners"
  for file in "$directory/probe-by-another-user" $(inside find "$directory" -maxdepth 1 -type f); do
    why=$(inside setpriv --reuid=65534 --regid=65534 --clear-groups sh -c ': >>"$1"' sh "$file" 2>&1) &&
      fail "another user could write $file"
    [ "${why##*: }" = "Permission denied" ] || fail "another user writing $file: $why"
    tried=$((tried + 1))
  done
done
echo "install test (systemd): another user writing $tried files of the service (new and existing): Permission denied each"

step "the daemon's confinement, seen from its own cgroup and namespaces"
# A shell joins the service's cgroup (where the device rules apply), enters its mount and IPC
# namespaces and becomes its user, without capabilities; the same probes run outside it, as root,
# as the control. Device nodes: /dev/net/tun stands for any node the unit does not allow; a hidraw
# node the service's group may open (the kernel has no such device behind it) is stopped by the
# device rules too, as hidraw is not allowed. Two copies of /dev/null, a node the device rules
# allow: root's alone, and one the udev rule would have given the service's group.
cgroup=$(inside systemctl show -P ControlGroup "$unit")
hidraw_major=$(inside sed -n 's/^ *\([0-9]*\) hidraw$/\1/p' /proc/devices)
[ -n "$hidraw_major" ] || fail "the kernel lists no hidraw devices"
inside mknod -m 0660 /dev/tokenbridge-probe-hidraw c "$hidraw_major" 250
inside mknod -m 0600 /dev/tokenbridge-probe-root c 1 3
inside mknod -m 0660 /dev/tokenbridge-probe-group c 1 3
inside chgrp "$user" /dev/tokenbridge-probe-hidraw /dev/tokenbridge-probe-group
probes='
  for node in /dev/net/tun /dev/tokenbridge-probe-hidraw /dev/tokenbridge-probe-root /dev/tokenbridge-probe-group /dev/null; do
    if why=$( (exec 3<>"$node") 2>&1); then echo "$node: opened"; else echo "$node: ${why##*: }"; fi
  done
  for socket in /run/dbus/system_bus_socket /run/systemd/private; do
    perl -MIO::Socket::UNIX -e "exit !IO::Socket::UNIX->new(Peer => shift)" "$socket" &&
      echo "$socket: connected" || echo "$socket: refused"
  done
  logger -t tokenbridge-probe "from $1"
  echo "ipc: $(readlink /proc/self/ns/ipc)"'
# The shell takes the uid and gid the main process has now, whatever the unit says.
probe_service() {
  local main
  main=$(main_pid)
  inside sh -c 'echo $$ >"/sys/fs/cgroup$1/cgroup.procs" && exec nsenter -t "$2" -m -i \
    setpriv --reuid="$3" --regid="$4" --init-groups --inh-caps=-all --bounding-set=-all --no-new-privs sh -c "$5" sh service' \
    sh "$cgroup" "$main" "$(inside stat -c %u "/proc/$main")" "$(inside stat -c %g "/proc/$main")" "${1:-$probes}"
}
outside=$(inside sh -c "$probes" sh outside)
confined=$(probe_service)
expected_outside="/dev/net/tun: opened
/dev/tokenbridge-probe-hidraw: No such device or address
/dev/tokenbridge-probe-root: opened
/dev/tokenbridge-probe-group: opened
/dev/null: opened
/run/dbus/system_bus_socket: connected
/run/systemd/private: connected"
expected_confined="/dev/net/tun: Operation not permitted
/dev/tokenbridge-probe-hidraw: Operation not permitted
/dev/tokenbridge-probe-root: Permission denied
/dev/tokenbridge-probe-group: opened
/dev/null: opened
/run/dbus/system_bus_socket: refused
/run/systemd/private: refused"
[ "$(echo "$outside" | head -7)" = "$expected_outside" ] || fail "the control probes outside the service found: $outside"
[ "$(echo "$confined" | head -7)" = "$expected_confined" ] || fail "from the service's context: $confined"
[ "$(echo "$outside" | tail -1)" != "$(echo "$confined" | tail -1)" ] || fail "the service shares the machine's IPC namespace"
for where in outside service; do
  for _ in $(seq 30); do inside journalctl -t tokenbridge-probe -o cat | grep -qx "from $where" && break; sleep 0.1; done
  inside journalctl -t tokenbridge-probe -o cat | grep -qx "from $where" || fail "/dev/log does not reach the journal from $where"
done

step "PID 1 is out of the service's reach"
# systemd powers the machine off on SIGRTMIN+4 (38): from the service's context it must not arrive.
# Signal 0 asks only whether a signal would; root outside may, as the control.
signals='for signal in 0 38; do perl -e "kill(\$ARGV[0], 1) ? print qq(sent\n) : print qq(\$!\n)" "$signal"; done'
to_pid1=$(probe_service "$signals")
echo "install test (systemd): signals 0 and RTMIN+4 to PID 1 from the service: $(echo $to_pid1)"
[ "$to_pid1" = "Operation not permitted
Operation not permitted" ] || fail "from the service's context, signals to PID 1: $to_pid1"
[ "$(inside perl -e 'kill(0, 1) ? print qq(sent\n) : print qq($!\n)')" = sent ] || fail "root outside cannot signal PID 1 either"
inside systemctl is-system-running >/dev/null 2>&1 || [ "$(inside systemctl is-system-running)" = degraded ] ||
  fail "the container's systemd is not running after the probe"

step "a drop-in allowing more device nodes, as SECURITY.md shows a token maker how"
inside mkdir -p /etc/systemd/system/$unit.d
printf '[Service]\nDeviceAllow=/dev/net/tun rw\nDeviceAllow=char-hidraw rw\n' | inside tee /etc/systemd/system/$unit.d/device.conf >/dev/null
inside systemctl daemon-reload
inside systemctl restart "$unit"
[ "$(probe_service | head -2)" = "/dev/net/tun: opened
/dev/tokenbridge-probe-hidraw: No such device or address" ] || fail "the drop-in did not allow /dev/net/tun and hidraw: $(probe_service)"
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

step "kill -SEGV of the token process: the unit stays active with the same main process, the journal says so"
journal_has '^token process: Internet sockets refused \(seccomp filter\)$' ||
  fail "the token process did not report its socket filter in force: $(inside journalctl -t tokenbridged -o cat | grep 'token process' | tail -3)"
# Landlock where the kernel has it; a kernel without it is the one reason accepted for none.
if ! journal_has '^network process: files confined \(Landlock version [0-9]+\)'; then
  journal_has '^network process: runs without its file confinement: (this kernel \(or emulator\) has no Landlock|Landlock is turned off)' ||
    fail "the network process did not report its file confinement: $(inside journalctl -t tokenbridged -o cat | grep 'network process' | tail -3)"
  echo "note: this kernel offers no Landlock; the network process runs without its file confinement"
fi
# The daemon's child is the starter; its child the token process.
starter_pid=$(inside cat "/proc/$pid/task/$pid/children" | tr -d ' ')
token_pid=$(inside cat "/proc/$starter_pid/task/$starter_pid/children" | tr -d ' ')
[ -n "$token_pid" ] || fail "the daemon has no token process"
inside sh -c 'kill -SEGV "$1"' sh "$token_pid"
journal_has "^token process $token_pid was ended by signal 11 \(SIGSEGV\)" ||
  fail "no journal line for the token process ended by SIGSEGV: $(inside journalctl -t tokenbridged -o cat | tail -3)"
expect '{"type":"GetDevState"}' '{"type":"GetDevState", "code":"0", "data":"1"}'
[ "$(main_pid)" = "$pid" ] || fail "the main process changed after the token process crashed"
inside systemctl is-active --quiet "$unit" || fail "$unit is not active after the token process crashed"

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

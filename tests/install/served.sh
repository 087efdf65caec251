#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Part of tests/install/run.sh, run by it inside `unshare -m -n`: a private network (the daemon's
# port 9446 is ours alone) and a private /dev whose /dev/log is a socket this script reads, so the
# installed daemon's syslog lines are checked without a syslog daemon and without touching the
# machine's log. The daemon is started from the installed unit's ExecStart line, as its User= and
# Group=, with a /run of its own holding the unit's RuntimeDirectory.
#   served.sh running BUILD_DIR WORK_DIR     start, where it listens, requests, syslog lines, library switch
#   served.sh empty-slot BUILD_DIR WORK_DIR  start with no library in the slot
#   served.sh pkcs11 BUILD_DIR WORK_DIR      the slot on the PKCS#11 library over a SoftHSM2 token
#   served.sh pcscd BUILD_DIR WORK_DIR       the same library over OpenSC and pcscd, an emulated card
set -euo pipefail
phase=$1
build=$2
work=$3
unit=/lib/systemd/system/tokenbridged.service
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
slot=/usr/lib/$triplet/tokenbridge/libkv_5100rt.so
softtoken_library=/usr/lib/$triplet/tokenbridge/softtoken/libkv_5100rt.so
other_library=$build/tests/install/libkv_5100rt.so
state=/var/lib/softtoken/state.json
log=$work/syslog.$phase.txt
pid=""

fail() { echo "install test ($phase): FAILED: $*" >&2; exit 1; }

ip link set lo up
# A /run of our own: the unit's RuntimeDirectory (systemd makes it for the service's user), and
# pcscd's socket in the pcscd phase.
mount --make-rprivate /
mount -t tmpfs -o mode=0755 tokenbridge-test-run /run
user=$(sed -n 's/^User=//p' "$unit")
group=$(sed -n 's/^Group=//p' "$unit")
[ -n "$user" ] && [ -n "$group" ] || fail "the unit names no User= and Group="
runtime_directory=$(sed -n 's/^RuntimeDirectory=//p' "$unit")
runtime_mode=$(sed -n 's/^RuntimeDirectoryMode=//p' "$unit")
install -d -o "$user" -g "$group" -m "${runtime_mode:-0755}" "/run/$runtime_directory"
# Files the test hands the daemon (a SoftHSM2 token, OpenSC's settings): the service's user's, in
# WORK_DIR, which that user may pass through.
chmod 0711 "$work"
service_files=$work/service.$phase
install -d -o "$user" -g "$group" -m 0700 "$service_files"
# A /dev of our own: the few nodes the daemon opens, and /dev/log.
mkdir -p "$work/dev"
mount -t tmpfs -o mode=0755 tokenbridge-test-dev "$work/dev"
for node in null zero full random urandom; do
  touch "$work/dev/$node"
  mount --bind "/dev/$node" "$work/dev/$node"
done
mount --rbind "$work/dev" /dev
: >"$log"
perl -MIO::Socket::UNIX -e '
  my $s = IO::Socket::UNIX->new(Type => SOCK_DGRAM(), Local => "/dev/log") or die "bind /dev/log: $!";
  $| = 1;
  while (defined $s->recv(my $m, 65536)) { $m =~ s/\n+$//; print "$m\n"; }' >>"$log" &
receiver=$!
stop_all() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  kill "$receiver" 2>/dev/null || true
}
trap stop_all EXIT
for _ in $(seq 50); do [ -S /dev/log ] && break; sleep 0.1; done
[ -S /dev/log ] || fail "the log receiver did not bind /dev/log"
chmod 0666 /dev/log  # every user's, as journald's is

# The unit's own start command, run as systemd runs it for Type=forking: as the unit's user and
# group with no capability and no way to gain one, from /, with systemd's PATH and the user's HOME,
# USER and LOGNAME and nothing else in the environment, no input, and the start-up result in the
# exit status.
grep -qx 'Type=forking' "$unit" || fail "the unit is not Type=forking, which this start relies on"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$(printf '%s\n' "$exec_start" | wc -l)" = 1 ] || fail "the unit needs exactly one ExecStart line"
case $exec_start in
  "" | [-@+!:]* | *[\"\'%\\\$]*) fail "ExecStart uses syntax this test does not expand: $exec_start" ;;
esac
# Extra NAME=VALUE arguments are the environment a drop-in's Environment= lines would add.
start_unit() {
  local status=0
  (cd / && setpriv --reuid="$user" --regid="$group" --init-groups --inh-caps=-all --bounding-set=-all --no-new-privs \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME="$(getent passwd "$user" | cut -d: -f6)" \
    USER="$user" LOGNAME="$user" "$@" $exec_start </dev/null >"$work/start.out" 2>"$work/start.err") || status=$?
  return "$status"
}

# The listener's process, found through its socket.
listening_pid() {
  ss -Hltnp 'sport = :9446' | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -1
}

start_daemon() {
  start_unit "$@" || fail "ExecStart exited $?: $(cat "$work/start.err")"
  [ ! -s "$work/start.err" ] || fail "ExecStart succeeded but wrote: $(cat "$work/start.err")"
  pid=$(listening_pid)
  [ -n "$pid" ] || fail "ExecStart exited 0 but nothing listens on port 9446"
  [ "$(readlink "/proc/$pid/exe")" = "$exec_start" ] || fail "port 9446 is not held by $exec_start"
  [ "$(ps -o user= -p "$pid")" = "$user" ] || fail "the daemon runs as $(ps -o user= -p "$pid"), not $user"
}

stop_daemon() {
  kill -TERM "$pid"
  for _ in $(seq 50); do
    if [ ! -e "/proc/$pid" ] || grep -q '^State:.*Z' "/proc/$pid/status" 2>/dev/null; then
      pid=""
      return 0
    fi
    sleep 0.1
  done
  fail "the daemon ($pid) did not stop on SIGTERM"
}

request() { "$build/tests/install/ws_request" 9446 "$@"; }

expect_reply() {
  local request=$1 expected=$2 got
  got=$(request "$request") || fail "no reply to $request"
  [ "$got" = "$expected" ] || fail "$request: expected $expected, got $got"
}

# The token process: the one child of the daemon's one child (the starter); it makes the token calls
# and logs what they meet.
token_pid() {
  local starter
  starter=$(tr -d ' ' <"/proc/$pid/task/$pid/children")
  tr -d ' ' <"/proc/$starter/task/$starter/children"
}

# Waits for a syslog line matching the extended regular expression.
expect_log() {
  for _ in $(seq 50); do
    grep -Eq -- "$1" "$log" && return 0
    sleep 0.1
  done
  echo "--- syslog lines:" >&2
  cat "$log" >&2
  fail "no syslog line matches: $1"
}

case $phase in
running)
  version=$(dpkg-query -W -f='${Version}' tokenbridge)
  # Another address of this host: one end of a veth pair in this private network, IPv4 and IPv6.
  ip link add tokenbridge0 type veth peer name tokenbridge1
  ip addr add 192.0.2.1/24 dev tokenbridge0
  ip -6 addr add 2001:db8::1/64 dev tokenbridge0 nodad
  ip link set tokenbridge0 up
  ip link set tokenbridge1 up
  # Facility daemon (3): priority 30 = info, 28 = warning.
  start_daemon
  expect_log "^<30>.* tokenbridged\[$pid\]: started: version $version, 127\.0\.0\.1:9446, \[::1\]:9446, SKF library $slot -> $softtoken_library\$"
  # As installed, the service answers this computer only: the two loopback addresses are all it
  # holds, and a connection to the host's other address is refused.
  held=$(ss -Hlntup | grep "pid=$pid," | awk '{print $1, $5}' | sort)
  echo "install test: the installed daemon holds: $(echo $held)"
  [ "$held" = "tcp 127.0.0.1:9446
tcp [::1]:9446" ] || fail "the daemon holds other sockets than 127.0.0.1:9446 and [::1]:9446: $held"
  for address in 127.0.0.1 ::1 192.0.2.1 2001:db8::1; do
    if why=$( (exec 3<>"/dev/tcp/$address/9446") 2>&1); then got=accepted; else got=${why##*: }; fi
    echo "install test: connect to $address port 9446: $got"
    case $address in
      127.0.0.1 | ::1) [ "$got" = accepted ] || fail "a connection to $address:9446 was not accepted: $got" ;;
      *) [ "$got" = "Connection refused" ] || fail "a connection to $address:9446 was not refused: $got" ;;
    esac
  done
  expect_reply '{"type":"GetLibVersion"}' '{"type":"GetLibVersion", "code":"0", "data":"1.0.220104"}'
  expect_reply '{"type":"GetUserName"}' '{"type":"GetUserName", "code":"0", "data":"TB0123456789ABCDEF01"}'

  # PIN requests, one of them meeting a failed connect: the failure is logged with its code, and
  # none of the PINs appears in any line. GetUserName left the token connected: close it first.
  expect_reply '{"type":"CloseDevice"}' '{"type":"CloseDevice", "code":"0", "data":""}'
  softtoken --state "$state" fail SKF_ConnectDev 0x0A000001 --once
  expect_reply '{"type":"VerifyUserPin","parm2":"Wx9Wrong77"}' '{"type":"VerifyUserPin", "code":"1", "data":"0"}'
  expect_log "^<28>.* tokenbridged\[$(token_pid)\]: token connect failed: SKF_ConnectDev returned 0x0A000001\$"
  expect_reply '{"type":"VerifyUserPin","parm2":"Wx9Wrong77"}' '{"type":"VerifyUserPin", "code":"1", "data":"0"}'
  expect_reply '{"type":"ChangeUserPin","parm1":"12345678","parm2":"Nw4NewPin88"}' \
    '{"type":"ChangeUserPin", "code":"0", "data":"-1"}'
  expect_reply '{"type":"UnblockUserPin","parm1":"admin12345","parm2":"Ub5Unblk99"}' \
    '{"type":"UnblockUserPin", "code":"0", "data":"-1"}'
  expect_reply '{"type":"VerifyUserPin","parm2":"Ub5Unblk99"}' '{"type":"VerifyUserPin", "code":"0", "data":"1"}'
  for pin in Wx9Wrong77 12345678 Nw4NewPin88 admin12345 Ub5Unblk99; do
    ! grep -F -- "$pin" "$log" || fail "a syslog line holds the PIN $pin"
  done

  # The token maker's library registered the documented way wins the slot (higher priority);
  # the daemon answers from it after a restart, and from the software token once it is removed.
  update-alternatives --install "$slot" "tokenbridge-skf-$triplet" "$other_library" 50 >/dev/null
  stop_daemon
  start_daemon
  expect_log "tokenbridged\[$pid\]: started: .* SKF library $slot -> $other_library\$"
  expect_reply '{"type":"GetUserName"}' '{"type":"GetUserName", "code":"0", "data":"FIXED-SERIAL-0002"}'
  update-alternatives --remove "tokenbridge-skf-$triplet" "$other_library" >/dev/null
  stop_daemon
  start_daemon
  expect_reply '{"type":"GetUserName"}' '{"type":"GetUserName", "code":"0", "data":"TB0123456789ABCDEF01"}'
  stop_daemon
  ;;
empty-slot)
  [ ! -e "$slot" ] || fail "the slot $slot still leads somewhere"
  if start_unit; then
    pid=$(listening_pid)
    fail "the daemon started with an empty library slot"
  else
    status=$?
  fi
  # A clean refusal, not a crash: an exit status below 128, and one line that names the library.
  ((status < 128)) || fail "the daemon died of a signal ($status) with an empty slot"
  [ "$(wc -l <"$work/start.err")" = 1 ] || fail "expected one line, got: $(cat "$work/start.err")"
  grep -q 'libkv_5100rt\.so' "$work/start.err" || fail "the line does not name the library: $(cat "$work/start.err")"
  echo "install test: empty slot: exit $status, \"$(cat "$work/start.err")\""
  ;;
pkcs11)
  # A SoftHSM2 token of the test's own: its settings and token directory under WORK_DIR, the
  # service's user's, named to the module by SOFTHSM2_CONF (for the daemon too, as a drop-in's
  # Environment= would).
  pkcs11_library=/usr/lib/$triplet/tokenbridge/pkcs11/libkv_5100rt.so
  settings=/etc/tokenbridge/pkcs11.conf
  [ -f "$settings" ] || fail "the package did not install $settings"
  export SOFTHSM2_CONF=$service_files/softhsm2.conf
  mkdir -p "$service_files/softhsm-tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$service_files/softhsm-tokens" >"$SOFTHSM2_CONF"
  softhsm2-util --init-token --free --label tb --pin 12345678 --so-pin admin12345 >"$work/softhsm.out" 2>&1 ||
    fail "softhsm2-util --init-token failed: $(cat "$work/softhsm.out")"
  chown -R "$user:$group" "$service_files"
  serial=$(softhsm2-util --show-slots | grep -B4 '^ *Label: *tb *$' | sed -n 's/^ *Serial number: *//p')
  [ -n "$serial" ] || fail "no serial number for the token in: $(softhsm2-util --show-slots)"

  # The installed library reads its installed settings file: the test's own settings are mounted over
  # it in this mount namespace, so the file on disk stays the package's for the purge check.
  use_settings() {
    printf '%s\n' "$@" >"$work/pkcs11.conf"
    mountpoint -q "$settings" || mount --bind "$work/pkcs11.conf" "$settings"
  }

  # A mistake in the settings: the daemon starts, the page sees no token, syslog says where.
  use_settings "modul = /usr/lib/softhsm/libsofthsm2.so"
  start_daemon "SOFTHSM2_CONF=$SOFTHSM2_CONF"
  expect_reply '{"type":"GetDevState"}' '{"type":"GetDevState", "code":"1", "data":"0"}'
  expect_log "^<27>.* tokenbridged\[$(token_pid)\]: tokenbridge pkcs11 library: $settings:1: unknown key 'modul'; every token call fails\$"
  stop_daemon

  use_settings "module = /usr/lib/softhsm/libsofthsm2.so" "token = pkcs11:token=tb"
  start_daemon "SOFTHSM2_CONF=$SOFTHSM2_CONF"
  expect_log "^<30>.* tokenbridged\[$pid\]: started: .* SKF library $slot -> $pkcs11_library\$"
  expect_reply '{"type":"GetDevState"}' '{"type":"GetDevState", "code":"0", "data":"1"}'
  expect_reply '{"type":"OpenDevice"}' '{"type":"OpenDevice", "code":"0", "data":"TRUE"}'
  expect_reply '{"type":"GetUserName"}' "{\"type\":\"GetUserName\", \"code\":\"0\", \"data\":\"$serial\"}"
  # SoftHSM2 never counts tries: a wrong PIN is refused "with tries left".
  expect_reply '{"type":"VerifyUserPin","parm2":"Wx9Wrong77"}' '{"type":"VerifyUserPin", "code":"1", "data":"0"}'
  expect_reply '{"type":"VerifyUserPin","parm2":"12345678"}' '{"type":"VerifyUserPin", "code":"0", "data":"1"}'
  sha1=$(printf '%s' 'hello, token!!!' | sha1sum | cut -c1-40 | tr a-f A-F)
  expect_reply '{"type":"ZPSHA1","parm1":"hello, token!!!"}' "{\"type\":\"ZPSHA1\", \"code\":\"0\", \"data\":\"$sha1\"}"
  expect_reply '{"type":"CloseDevice"}' '{"type":"CloseDevice", "code":"0", "data":""}'
  for pin in Wx9Wrong77 12345678; do
    ! grep -F -- "$pin" "$log" || fail "a syslog line holds the PIN $pin"
  done
  stop_daemon
  ;;
pcscd)
  # A smart card reached the way OpenSC reaches one: through pcscd's socket. pcscd runs as root (as
  # its own unit does), the daemon as the service's user; the card is an emulated OpenPGP card in
  # vsmartcard's virtual reader. Debian 12's pcscd asks no polkit (it is built without it), so the
  # user needs nothing more than the socket, which is every user's.
  pkcs11_library=/usr/lib/$triplet/tokenbridge/pkcs11/libkv_5100rt.so
  settings=/etc/tokenbridge/pkcs11.conf
  opensc_module=/usr/lib/$triplet/opensc-pkcs11.so
  reader_conf=/etc/reader.conf.d/vpcd
  for need in /usr/sbin/pcscd "$opensc_module" "$reader_conf"; do
    [ -e "$need" ] || fail "$need is missing (scripts/setup.sh installs pcscd, opensc, vsmartcard-vpcd)"
  done
  vpcd_port=$((16#$(sed -n 's|^DEVICENAME */dev/null:0x||p' "$reader_conf")))
  mkdir /run/pcscd
  /usr/sbin/pcscd --foreground >"$work/pcscd.log" 2>&1 &
  pcscd=$!
  for _ in $(seq 50); do ss -Hltn "sport = :$vpcd_port" | grep -q . && break; sleep 0.1; done
  python3 tests/pkcs11/openpgp_card.py "$vpcd_port" &
  card=$!
  trap 'kill "$card" "$pcscd" 2>/dev/null || true; stop_all' EXIT
  printf 'module = %s\n' "$opensc_module" >"$work/pkcs11.conf"
  mountpoint -q "$settings" || mount --bind "$work/pkcs11.conf" "$settings"
  # Only the OpenPGP driver tried on the card (the others would each probe it first).
  printf 'app default {\n  card_drivers = openpgp;\n}\n' >"$service_files/opensc.conf"
  chown "$user:$group" "$service_files/opensc.conf"
  start_daemon "OPENSC_CONF=$service_files/opensc.conf"
  expect_log "^<30>.* tokenbridged\[$pid\]: started: .* SKF library $slot -> $pkcs11_library\$"
  for _ in $(seq 100); do
    [ "$(request '{"type":"GetDevState"}')" = '{"type":"GetDevState", "code":"0", "data":"1"}' ] && break
    sleep 0.1
  done
  expect_reply '{"type":"GetDevState"}' '{"type":"GetDevState", "code":"0", "data":"1"}'
  expect_reply '{"type":"GetUserName"}' '{"type":"GetUserName", "code":"0", "data":"fffe13572468"}'
  expect_reply '{"type":"CloseDevice"}' '{"type":"CloseDevice", "code":"0", "data":""}'
  # The card counts: a wrong PIN leaves "at least two", the right one is accepted.
  expect_reply '{"type":"VerifyUserPin","parm2":"000000"}' '{"type":"VerifyUserPin", "code":"1", "data":"0"}'
  expect_reply '{"type":"VerifyUserPin","parm2":"123456"}' '{"type":"VerifyUserPin", "code":"0", "data":"1"}'
  echo "install test: the daemon as $(ps -o user= -p "$pid") read the card through pcscd ($(ps -o user= -p "$pcscd"))"
  stop_daemon
  ;;
*) fail "unknown phase" ;;
esac

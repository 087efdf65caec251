#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Part of tests/install/run.sh, run by it inside `unshare -m -n`: a private network (the daemon's
# port 9446 is ours alone) and a private /dev whose /dev/log is a socket this script reads, so the
# installed daemon's syslog lines are checked without a syslog daemon and without touching the
# machine's log. The daemon is started from the installed unit's ExecStart line.
#   served.sh running BUILD_DIR WORK_DIR     start, requests, syslog lines, library switch
#   served.sh empty-slot BUILD_DIR WORK_DIR  start with no library in the slot
#   served.sh pkcs11 BUILD_DIR WORK_DIR      the slot on the PKCS#11 library over a SoftHSM2 token
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
# A /dev of our own: the few nodes the daemon opens, and /dev/log.
mount --make-rprivate /
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

# The unit's own start command, run as systemd runs it for Type=forking: from /, with systemd's
# PATH and nothing else in the environment, no input, and the start-up result in the exit status.
grep -qx 'Type=forking' "$unit" || fail "the unit is not Type=forking, which this start relies on"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$(printf '%s\n' "$exec_start" | wc -l)" = 1 ] || fail "the unit needs exactly one ExecStart line"
case $exec_start in
  "" | [-@+!:]* | *[\"\'%\\\$]*) fail "ExecStart uses syntax this test does not expand: $exec_start" ;;
esac
# Extra NAME=VALUE arguments are the environment a drop-in's Environment= lines would add.
start_unit() {
  local status=0
  (cd / && env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@" \
    $exec_start </dev/null >"$work/start.out" 2>"$work/start.err") || status=$?
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
  # Facility daemon (3): priority 30 = info, 28 = warning.
  start_daemon
  expect_log "^<30>.* tokenbridged\[$pid\]: started: version $version, port 9446( and \[::1\]:9446)?, SKF library $slot -> $softtoken_library\$"
  expect_reply '{"type":"GetLibVersion"}' '{"type":"GetLibVersion", "code":"0", "data":"1.0.220104"}'
  expect_reply '{"type":"GetUserName"}' '{"type":"GetUserName", "code":"0", "data":"TB0123456789ABCDEF01"}'

  # PIN requests, one of them meeting a failed connect: the failure is logged with its code, and
  # none of the PINs appears in any line. GetUserName left the token connected: close it first.
  expect_reply '{"type":"CloseDevice"}' '{"type":"CloseDevice", "code":"0", "data":""}'
  softtoken --state "$state" fail SKF_ConnectDev 0x0A000001 --once
  expect_reply '{"type":"VerifyUserPin","parm2":"Wx9Wrong77"}' '{"type":"VerifyUserPin", "code":"1", "data":"0"}'
  expect_log "^<28>.* tokenbridged\[$pid\]: token connect failed: SKF_ConnectDev returned 0x0A000001\$"
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
  # A SoftHSM2 token of the test's own: its settings and token directory under WORK_DIR, named to
  # the module by SOFTHSM2_CONF (for the daemon too, as a drop-in's Environment= would).
  pkcs11_library=/usr/lib/$triplet/tokenbridge/pkcs11/libkv_5100rt.so
  settings=/etc/tokenbridge/pkcs11.conf
  [ -f "$settings" ] || fail "the package did not install $settings"
  export SOFTHSM2_CONF=$work/softhsm2.conf
  mkdir -p "$work/softhsm-tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/softhsm-tokens" >"$SOFTHSM2_CONF"
  softhsm2-util --init-token --free --label tb --pin 12345678 --so-pin admin12345 >"$work/softhsm.out" 2>&1 ||
    fail "softhsm2-util --init-token failed: $(cat "$work/softhsm.out")"
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
  expect_log "^<27>.* tokenbridged\[$pid\]: tokenbridge pkcs11 library: $settings:1: unknown key 'modul'; every token call fails\$"
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
*) fail "unknown phase" ;;
esac

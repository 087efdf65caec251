#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tries and lockout, which SoftHSM2 never counts: the daemon built here, its library slot on the
# PKCS#11 library over OpenSC, and an OpenPGP card (openpgp_card.py) in pcscd's virtual reader
# (vsmartcard's vpcd). Wrong PINs bring the tries down to the final one and the lock, the right PIN
# is refused while locked, the administrator PIN unblocks, and the card pulled out and put back is
# seen without a restart.
#   openpgp_card.sh BUILD_DIR    exit 77: skipped (a package missing, or no namespaces)
# It runs itself again in a private network (port 9446 and the reader's port are its own) and mount
# namespace (a /run of its own holds pcscd's socket); as a user other than root, in a user namespace
# too.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:?usage: openpgp_card.sh BUILD_DIR}")
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
opensc_module=/usr/lib/$triplet/opensc-pkcs11.so
reader_conf=/etc/reader.conf.d/vpcd # vsmartcard-vpcd's reader: "DEVICENAME /dev/null:0x8C7B", its port

skip() {
  echo "openpgp card test: SKIPPED: $*"
  exit 77
}
fail() {
  echo "openpgp card test: FAILED: $*" >&2
  exit 1
}

if [ "${2:-}" != --inside ]; then
  for need in /usr/sbin/pcscd "$opensc_module" "$reader_conf" /usr/lib/pcsc/drivers/serial/libifdvpcd.so; do
    [ -e "$need" ] || skip "$need is missing (scripts/setup.sh installs pcscd, opensc, vsmartcard-vpcd)"
  done
  grep -Eq '^DEVICENAME +/dev/null:0x[0-9A-Fa-f]+$' "$reader_conf" || fail "$reader_conf names no port this test can read"
  as_root=()
  [ "$(id -u)" = 0 ] || as_root=(-r)
  unshare "${as_root[@]}" -m -n true 2>/dev/null || skip "cannot make a private network and mount namespace"
  exec unshare "${as_root[@]}" -m -n "$0" "$build" --inside
fi

vpcd_port=$((16#$(sed -n 's|^DEVICENAME */dev/null:0x||p' "$reader_conf")))
work=$(mktemp -d "${TMPDIR:-/tmp}/tokenbridge-openpgp.XXXXXX")
pids=() # this script's children: pcscd and the card
daemon="" # the daemon detaches: not a child
stop_all() {
  for pid in $daemon "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap stop_all EXIT

ip link set lo up
mount --make-rprivate /
mount -t tmpfs tokenbridge-test-run /run
mkdir /run/pcscd
/usr/sbin/pcscd --foreground >"$work/pcscd.log" 2>&1 &
pids+=($!)

card=""
plug_card() {
  for _ in $(seq 50); do ss -Hltn "sport = :$vpcd_port" | grep -q . && break; sleep 0.1; done
  python3 "$here/openpgp_card.py" "$vpcd_port" &
  card=$!
  pids+=("$card")
}
pull_card() {
  kill "$card"
  wait "$card" 2>/dev/null || true
}

# OpenSC with Debian's default settings but for one: only the OpenPGP driver tried on the card (the
# others would each probe it first). unblocking=yes adds the line the README gives for unblocking.
opensc_settings() {
  printf 'app default {\n  card_drivers = openpgp;\n}\n'
  [ "$1" = unblocking=no ] || printf 'app opensc-pkcs11 {\n  pkcs11 {\n    user_pin_unblock_style = init_pin_in_so_session;\n  }\n}\n'
}
printf 'module = %s\n' "$opensc_module" >"$work/pkcs11.conf"
: >"$work/tokenbridged.conf"
start_daemon() {
  opensc_settings "$1" >"$work/opensc.conf"
  env OPENSC_CONF="$work/opensc.conf" TOKENBRIDGE_PKCS11_CONF="$work/pkcs11.conf" \
    LD_LIBRARY_PATH="$build/pkcs11" "$build/service/tokenbridged" --config "$work/tokenbridged.conf" ||
    fail "the daemon did not start"
  daemon=$(ss -Hltnp 'sport = :9446' | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -1)
  [ -n "$daemon" ] || fail "nothing listens on port 9446"
}
stop_daemon() {
  kill "$daemon"
  for _ in $(seq 50); do
    [ -e "/proc/$daemon" ] || { daemon="" && return 0; }
    sleep 0.1
  done
  fail "the daemon did not stop"
}

reply() { printf '{"type":"%s", "code":"%s", "data":"%s"}' "$1" "$2" "$3"; }
expect() {
  local request=$1 expected got
  expected=$(reply "$2" "$3" "$4")
  got=$("$build/tests/install/ws_request" 9446 "$request") || fail "no reply to $request"
  [ "$got" = "$expected" ] || fail "$request: expected $expected, got $got"
}
# pcscd polls the virtual reader: a card plugged or pulled is seen within a few seconds.
wait_for_state() {
  local expected
  expected=$(reply GetDevState "$1" "$2")
  for _ in $(seq 100); do
    [ "$("$build/tests/install/ws_request" 9446 '{"type":"GetDevState"}')" = "$expected" ] && return 0
    sleep 0.1
  done
  fail "GetDevState never answered $expected"
}
verify() { printf '{"type":"VerifyUserPin","parm2":"%s"}' "$1"; }
change() { printf '{"type":"ChangeUserPin","parm1":"%s","parm2":"%s"}' "$1" "$2"; }
unblock() { printf '{"type":"UnblockUserPin","parm1":"%s","parm2":"%s"}' "$1" "$2"; }

started=$SECONDS
plug_card
start_daemon unblocking=no
wait_for_state 0 1
expect '{"type":"GetUserName"}' GetUserName 0 fffe13572468
expect '{"type":"CloseDevice"}' CloseDevice 0 ""
# Without the unblocking line: the administrator PIN is accepted, then the module refuses.
expect "$(unblock 12345678 654321)" UnblockUserPin 1 2
expect "$(verify 123456)" VerifyUserPin 0 1
stop_daemon
start_daemon unblocking=yes
wait_for_state 0 1

# Three tries: after a wrong PIN "at least two" are left, after the second the final one, the third
# locks; the right PIN is refused while locked.
expect "$(change 000000 654321)" ChangeUserPin 1 2
expect "$(change 000000 654321)" ChangeUserPin 1 1
expect "$(verify 000000)" VerifyUserPin 1 -1
expect "$(verify 123456)" VerifyUserPin 1 -1
expect "$(change 123456 654321)" ChangeUserPin 1 0

# The administrator PIN: a wrong one leaves it "at least two" and the lock; the right one unblocks
# and sets the new PIN.
expect "$(unblock 00000000 654321)" UnblockUserPin 1 2
expect "$(verify 654321)" VerifyUserPin 1 -1
expect "$(unblock 12345678 654321)" UnblockUserPin 0 -1
expect "$(verify 654321)" VerifyUserPin 0 1
expect "$(change 654321 7654321)" ChangeUserPin 0 -1
expect "$(verify 7654321)" VerifyUserPin 0 1

# Pulled out: no token, PIN requests as without one; put back (a card as new): served again.
pull_card
wait_for_state 1 0
expect "$(verify 123456)" VerifyUserPin 1 0
expect '{"type":"GetUserName"}' GetUserName 1 ""
plug_card
wait_for_state 0 1
expect "$(verify 123456)" VerifyUserPin 0 1
kill -0 "$daemon" || fail "the daemon died"
echo "openpgp card test: passed in $((SECONDS - started)) s"

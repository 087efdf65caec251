#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The daemon with no settings on a machine whose loopback has no IPv6: it still starts, listens on
# every IPv4 interface alone and answers. Runs itself in a private network namespace with IPv6
# turned off there (root needed for that; otherwise the test is skipped).
#   no_ipv6_loopback.sh TOKENBRIDGED SOFTTOKEN WS_REQUEST
set -euo pipefail
daemon=$1
softtoken=$2
ws_request=$3
fail() { echo "FAILED: $*" >&2; exit 1; }
if [ -z "${TOKENBRIDGE_NETNS:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "skipped: needs root for a private network"; exit 77; }
  TOKENBRIDGE_NETNS=1 exec unshare -n "$0" "$@"
fi
ip link set lo up
echo 1 >/proc/sys/net/ipv6/conf/lo/disable_ipv6
dir=$(mktemp -d)
pid=""
trap '[ -z "$pid" ] || kill "$pid"; rm -rf "$dir"' EXIT
export SOFTTOKEN_STATE=$dir/state.json
"$softtoken" init >/dev/null
: >"$dir/empty.conf"
"$daemon" --config "$dir/empty.conf" 2>"$dir/err" || fail "the daemon did not start: $(cat "$dir/err")"
pid=$(ss -Hltnp 'sport = :9446' | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -1)
[ -n "$pid" ] || fail "the daemon started but nothing listens on 9446"
listening=$(ss -Hltn 'sport = :9446' | awk '{print $4}')
[ "$listening" = "0.0.0.0:9446" ] || fail "expected 0.0.0.0:9446 alone, found: $listening"
reply=$("$ws_request" 9446 '{"type":"GetLibVersion"}')
[ "$reply" = '{"type":"GetLibVersion", "code":"0", "data":"1.0.220104"}' ] || fail "reply: $reply"
echo "started without IPv6 on 0.0.0.0:9446 and answered"

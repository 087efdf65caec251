#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Soak run against the real daemon on port 9446, loopback only: a fresh software token in a
# temporary directory, many clients at once for a bounded time, then the figures. Refuses to run
# when port 9446 is taken; stops the daemon it started however the run ends.
#   tests/reliability/soak.sh BUILD_DIR [--quick|--long] [extra soak options]
#   --quick: 50 clients for 20 s (CI); --long: 200 clients for 60 s; default: --quick
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [--quick|--long] [soak options]" >&2
  exit 2
fi
build=$1
shift
clients=50
seconds=20
case "${1:-}" in
  --quick) shift ;;
  --long) clients=200; seconds=60; shift ;;
esac

daemon="$build/service/tokenbridged"
softtoken="$build/softtoken/softtoken"
soak="$build/tests/reliability/soak"
for binary in "$daemon" "$softtoken" "$soak"; do
  if [ ! -x "$binary" ]; then
    echo "soak.sh: $binary is missing; build $build first" >&2
    exit 2
  fi
done

# Each client holds a socket, the daemon one per client: leave room for both.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || ulimit -n 4096 2>/dev/null || true

work=$(mktemp -d "${TMPDIR:-/tmp}/tokenbridge-soak.XXXXXX")
pidfile="$work/daemon.pid"
daemon_path=$(readlink -f "$daemon")
cleanup() {
  # The soak program stops the daemon itself; this covers a run that was interrupted or crashed.
  if [ -s "$pidfile" ]; then
    pid=$(cat "$pidfile")
    if [ "$(readlink -f "/proc/$pid/exe" 2>/dev/null)" = "$daemon_path" ]; then
      kill -KILL "$pid" 2>/dev/null || true
    fi
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The daemon runs in "/", so the state file's path must be absolute.
state="$work/state.json"
SOFTTOKEN_STATE="$state" "$softtoken" init >/dev/null

corpus=(--corpus "$(readlink -f tests/corpus/json)")

echo "soak: $daemon, ulimit -n $(ulimit -n)"
"$soak" --daemon "$daemon_path" --state "$state" --pid-file "$pidfile" \
  --clients "$clients" --seconds "$seconds" "${corpus[@]}" "$@"

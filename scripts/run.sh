#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds tokenbridge if needed and starts tokenbridged on the software token. The token's state file
# is SOFTTOKEN_STATE (default /var/lib/softtoken/state.json); a fresh token is made if there is none.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tokenbridged softtoken

export SOFTTOKEN_STATE=${SOFTTOKEN_STATE:-/var/lib/softtoken/state.json}
if [ ! -f "$SOFTTOKEN_STATE" ]; then
  # init makes the state's own directory (owner only); only the levels above it are made here.
  mkdir -p "$(dirname "$(dirname "$SOFTTOKEN_STATE")")"
  build/softtoken/softtoken init
fi
echo
# Without --reveal, show prints no PIN.
build/softtoken/softtoken show
echo

# Returns once the daemon listens (or prints why it cannot and fails).
build/service/tokenbridged

pid=$(ss -ltnpH 'sport = :9446' 2>/dev/null | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -n 1)
echo "tokenbridged is listening on ws://127.0.0.1:9446 (every IPv4 interface, any path)${pid:+, pid $pid}."
echo "Stop it with: kill ${pid:-<pid>}"
echo "Demo page: run 'node web/serve.mjs' and open the address it prints (a page opened as a file cannot load its module)."
echo "Software token: SOFTTOKEN_STATE=$SOFTTOKEN_STATE build/softtoken/softtoken show|plug|unplug (show --reveal prints the PINs)"

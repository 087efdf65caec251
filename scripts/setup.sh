#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs every Debian package and npm package that building, running and testing tokenbridge
# needs. Run as root on Debian 12; does nothing when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config git
  libasio-dev libjsoncpp-dev libmbedtls-dev libgtest-dev
  clang-14 libclang-rt-14-dev
  nodejs chromium procps psmisc iproute2
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# npm may come from Debian or with Node.js itself; only install Debian's when there is none.
command -v npm >/dev/null 2>&1 || missing+=(npm)

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

# The browser and client tests drive Chromium through playwright-core (no browser download); the
# package test compiles a typed page with TypeScript. Reinstall when either is missing.
if [ -f web/package.json ] && { [ ! -d web/node_modules/playwright-core ] || [ ! -d web/node_modules/typescript ]; }; then
  echo "setup: installing the web tests' npm packages"
  (cd web && npm ci --no-audit --no-fund --loglevel=error)
fi

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs every Debian package and npm package that building, running, packaging and testing
# tokenbridge needs. Run as root on Debian 12; does nothing when everything is already there.
# Prints one line per step; what apt and npm say goes to a log file, shown by path on failure.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config git
  libasio-dev libjsoncpp-dev libmbedtls-dev libgtest-dev
  clang-14 libclang-rt-14-dev
  nodejs chromium procps psmisc iproute2
  # Building and checking the Debian packages; systemd only for systemd-analyze.
  dpkg-dev debhelper lintian systemd
  # The install test's container: a Debian tree booted by a real systemd.
  mmdebstrap systemd-container
  # tokenbridge-agent: sd-bus for the desktop notifications; its test runs a mock notification
  # server on a private session bus.
  libsystemd-dev dbus python3-dbusmock
  # Its window (GTK), and the site's name in it: the registrable domain from the public-suffix
  # list, an internationalised name decoded.
  libgtk-3-dev libpsl-dev libidn2-dev
  # Its desktop tests: real notification servers and the window on a virtual screen, pressed by
  # xdotool and python3-xlib, photographed by imagemagick.
  xvfb xfce4-notifyd dunst xdotool python3-xlib imagemagick
  # The PKCS#11 library: its header, and the PKCS#11 stacks its tests run against.
  libp11-kit-dev p11-kit softhsm2
  # Tries and lockout: an emulated OpenPGP card in a virtual reader, reached through OpenSC.
  pcscd vsmartcard-vpcd opensc python3
)
log=$(mktemp "${TMPDIR:-/tmp}/tokenbridge-setup.XXXXXX.log")

# Runs a step with its output in the log; on failure says where to read it.
quietly() {
  local what=$1
  shift
  echo "setup: $what"
  if ! "$@" >>"$log" 2>&1; then
    echo "setup: FAILED: $what (output in $log)" >&2
    exit 1
  fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# npm may come from Debian or with Node.js itself; only install Debian's when there is none.
command -v npm >/dev/null 2>&1 || missing+=(npm)

if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  quietly "updating the package lists" apt-get update -o DPkg::Lock::Timeout=900
  quietly "installing ${missing[*]}" apt-get install -y -o DPkg::Lock::Timeout=900 "${missing[@]}"
else
  echo "setup: every Debian package is installed"
fi

# The browser and client tests drive Chromium through playwright-core (no browser download); the
# package test compiles a typed page with TypeScript. Reinstall when either is missing.
if [ ! -d web/node_modules/playwright-core ] || [ ! -d web/node_modules/typescript ]; then
  quietly "installing the web tests' npm packages" \
    bash -c 'cd web && npm ci --no-audit --no-fund --loglevel=error'
else
  echo "setup: the web tests' npm packages are installed"
fi
rm -f "$log"

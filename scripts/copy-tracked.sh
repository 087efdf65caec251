#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Copies the tracked files as they are now (committed or not) into DEST, which must exist: a clean
# source tree without build directories, for dpkg-buildpackage to write beside.
#   scripts/copy-tracked.sh DEST
set -euo pipefail
dest=${1:?usage: scripts/copy-tracked.sh DEST}
cd "$(dirname "$0")/.."
git ls-files -z | tar --null -T - -c | tar -x -C "$dest"

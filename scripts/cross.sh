#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds tokenbridge for another processor and runs its tests there under qemu-user:
#   scripts/cross.sh mips64el|arm64
# Installs what is missing (Debian 12, as root): the cross compiler, the target's multiarch
# development packages and qemu-user. Builds the daemon, the software token and the tests into
# build-ARCH/ with cmake/ARCH.cmake, then runs ctest, which starts every test binary under qemu.
# The tests serve port 9446: nothing else may listen there meanwhile.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-}
case "$arch" in
  mips64el) triplet=mips64el-linux-gnuabi64 ;;
  arm64) triplet=aarch64-linux-gnu ;;
  *)
    echo "usage: $0 mips64el|arm64" >&2
    exit 2
    ;;
esac
build=build-$arch
jobs=$(nproc)

packages=(
  cmake make "g++-$triplet" qemu-user libasio-dev
  "libjsoncpp-dev:$arch" "libmbedtls-dev:$arch" "libgtest-dev:$arch"
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "cross: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then dpkg --add-architecture "$arch"; fi
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  # The target's libraries must install beside the build machine's, never instead of them.
  if apt-get -s install --no-install-recommends "${missing[@]}" | grep '^Remv'; then
    echo "cross: installing these would remove the packages above; stopping" >&2
    exit 1
  fi
  # Without recommends: qemu-user-binfmt would let the kernel run target programs behind the
  # tests' back; they must go through the emulator named in the toolchain file.
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
fi

# See cmake/debian-cross.cmake: qemu must use the programs' own loader, not the cross sysroot.
unset QEMU_LD_PREFIX

started=$SECONDS
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$arch.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOKENBRIDGE_BENCH=OFF -DTOKENBRIDGE_FUZZ=OFF -DTOKENBRIDGE_TESTS=ON >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j"$jobs"
echo "cross: $arch built in $((SECONDS - started)) s"

started=$SECONDS
(cd "$build" && ctest --output-on-failure -j"$jobs" --timeout 600)
echo "cross: $arch tests under qemu took $((SECONDS - started)) s"

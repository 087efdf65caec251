#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds tokenbridge for another processor, runs its tests there under qemu-user and builds
# its Debian packages:
#   scripts/cross.sh mips64el|arm64
# Installs what is missing (Debian 12, as root): the cross compiler, the target's multiarch
# development packages, qemu-user and the packaging tools. Builds the daemon, the software token and
# the tests into build-ARCH/ with cmake/ARCH.cmake, then runs ctest, which starts every test binary
# under qemu; then builds the .debs into build-ARCH/packages/ and checks what they hold.
# The tests serve port 9446: nothing else may listen there meanwhile.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-}
case "$arch" in
  # What `file` says of the target's programs: their machine and their dynamic loader.
  mips64el) triplet=mips64el-linux-gnuabi64 machine="MIPS, MIPS64" interpreter=/lib64/ld.so.1 ;;
  arm64) triplet=aarch64-linux-gnu machine="ARM aarch64" interpreter=/lib/ld-linux-aarch64.so.1 ;;
  *)
    echo "usage: $0 mips64el|arm64" >&2
    exit 2
    ;;
esac
build=build-$arch
jobs=$(nproc)

# The target's libc6 named on its own, at the host's version: every architecture's libc6 must be
# the same version, and without the pin apt's resolver gave up ("held broken packages") when the
# security archive had a newer one for the target than for another foreign architecture it does
# not carry (mips64el beside arm64).
host_libc=$(dpkg-query -W -f='${Version}' "libc6:$(dpkg --print-architecture)")
packages=(
  cmake make git file dpkg-dev debhelper "g++-$triplet" qemu-user libasio-dev
  "libc6:$arch=$host_libc" "libjsoncpp-dev:$arch" "libmbedtls-dev:$arch" "libgtest-dev:$arch" "libp11-kit-dev:$arch"
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "${p%%=*}" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
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

# The packages, from the tracked files copied to a folder of their own (dpkg-buildpackage writes
# beside the source tree). Tests are left to the run above: the package build cannot run them.
# No agent package: the target's libsystemd-dev does not install beside the build machine's on
# Debian 12 (its libsystemd0 wants liblzma5 and libzstd1 of the target that apt will not pair).
started=$SECONDS
packages_dir=$PWD/$build/packages
rm -rf "$packages_dir"
mkdir -p "$packages_dir/source"
scripts/copy-tracked.sh "$packages_dir/source"
(cd "$packages_dir/source" &&
  DEB_BUILD_OPTIONS="nocheck parallel=$jobs" dpkg-buildpackage -a "$arch" -Pcross,nocheck,pkg.tokenbridge.noagent -us -uc -b) \
  >"$packages_dir/build.log" 2>&1 || { tail -40 "$packages_dir/build.log"; exit 1; }

# Each package is for the target, and every program in it is the target's, loaded by its loader.
problems=0
programs=0
for deb in "$packages_dir"/*.deb; do
  case "$deb" in *-dbgsym_*) continue ;; esac
  echo "cross: $(basename "$deb")"
  dpkg-deb -I "$deb" | grep -E '^ (Package|Architecture|Depends):'
  dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print "   ", $6}'
  if [ "$(dpkg-deb -f "$deb" Architecture)" != "$arch" ]; then
    echo "cross: $(basename "$deb") is not for $arch" >&2
    problems=$((problems + 1))
  fi
  contents=$(mktemp -d)
  dpkg-deb -x "$deb" "$contents"
  while IFS= read -r -d '' path; do
    description=$(file -b "$path")
    case "$description" in ELF*) ;; *) continue ;; esac
    programs=$((programs + 1))
    echo "    ${path#"$contents"}: ${description%%, BuildID*}"
    if [[ "$description" != *"$machine"* ]] ||
      { [[ "$description" == *executable* ]] && [[ "$description" != *"interpreter $interpreter"* ]]; }; then
      echo "cross: ${path#"$contents"} is not a $arch program loaded by $interpreter" >&2
      problems=$((problems + 1))
    fi
  done < <(find "$contents" -type f -print0)
  rm -rf "$contents"
done
# The daemon, the softtoken command and its library at least.
if ((programs < 3)); then
  echo "cross: only $programs programs in the packages" >&2
  problems=$((problems + 1))
fi
echo "cross: $arch packages built and checked in $((SECONDS - started)) s"
((problems == 0))

# SPDX-License-Identifier: MIT
# Debian arm64: 64-bit ARM (AArch64), little-endian, glibc. scripts/cross.sh arm64 uses it.
set(CROSS_TRIPLET aarch64-linux-gnu)
set(CROSS_QEMU_NAME qemu-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

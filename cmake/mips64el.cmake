# SPDX-License-Identifier: MIT
# Debian mips64el: 64-bit MIPS, little-endian, n64 ABI, glibc. scripts/cross.sh mips64el uses it.
set(CROSS_TRIPLET mips64el-linux-gnuabi64)
set(CROSS_QEMU_NAME qemu-mips64el)
set(CMAKE_SYSTEM_PROCESSOR mips64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

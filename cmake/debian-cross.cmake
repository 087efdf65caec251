# SPDX-License-Identifier: MIT
# What every Debian cross build shares; a toolchain file per target sets CROSS_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR, then includes this. Needs Debian's cross compiler (g++-<triplet>), the
# multiarch development packages of the target (libjsoncpp-dev:<arch> ...) and qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)
# Multiarch: the target's libraries and CMake package files are in /usr/lib/<triplet>; headers of
# /usr/include are shared by every architecture.
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config must read the target's .pc files only: the build machine's would hand the target's
# link its own libraries (libsystemd for the agent, say). A module the target lacks is then missing.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")

# ctest runs every test binary (and gtest_discover_tests lists them) under qemu-user; the tests pass
# the same command on to the target programs they start themselves (the daemon, softtoken).
# No -L and no QEMU_LD_PREFIX pointing at /usr/<triplet>, on purpose: the cross compiler's sysroot
# holds its own build of the dynamic loader (libc6-<arch>-cross), while the programs load the
# multiarch C library (libc6:<arch>, pulled in by the -dev packages). With that mix, every child
# hangs after fork(), and the daemon forks twice to detach. Without -L, qemu takes the interpreter
# named in the program, the multiarch loader, which matches its C library.
find_program(CROSS_QEMU ${CROSS_QEMU_NAME} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU})

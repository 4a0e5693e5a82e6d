# Cross build for the panel (ARM Cortex-A9, Debian armhf userland) with
# Debian's crossbuild-essential-armhf and multiarch Qt 5 (qtbase5-dev:armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# 64-bit file offsets on the 32-bit target, as Debian's own armhf builds
# have them from trixie on: files standing in for the register device in
# tests reach past the bridge window at 3 GiB.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

# Headers and libraries from the armhf multiarch folders; programs (moc, uic,
# rcc) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/lib/arm-linux-gnueabihf /usr/include/arm-linux-gnueabihf)
set(CMAKE_PREFIX_PATH /usr/lib/arm-linux-gnueabihf/cmake)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Test binaries run under user-mode emulation. The guest's loader and libc
# come from the multiarch libc6:armhf that Qt's armhf libraries were built
# against; the cross toolchain's copy under /usr/arm-linux-gnueabihf (-L) is
# a different build of glibc, and mixing the two crashes at the first
# thread created.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

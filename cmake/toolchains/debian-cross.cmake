# Shared part of the cross toolchains: Debian's cross compiler for
# QUILLWAVE_CROSS_TRIPLET (package g++-TRIPLET), the target's libraries from
# /usr/TRIPLET, and qemu-user (QUILLWAVE_CROSS_QEMU) to run what is built, so
# CTest runs every test under the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QUILLWAVE_CROSS_TRIPLET}-gcc)  # GoogleTest's project enables C
set(CMAKE_CXX_COMPILER ${QUILLWAVE_CROSS_TRIPLET}-g++)

# The target's libraries: the cross compiler's own in /usr/TRIPLET, and
# Debian's packages of the target architecture (libzip-dev:ARCH and the
# like, installed by scripts/install-deps.sh --cross) in /usr/lib/TRIPLET.
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLWAVE_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: where the target's dynamic loader and C library lie. The library path
# names them first (/lib is the cross compiler's under -L): a target libc
# of Debian's multiarch packages, in /lib/TRIPLET, would otherwise be found
# before them and run under the cross loader, which hangs (seen with a
# newer libc6:arm64). Then the formats' libraries, in /usr/lib/TRIPLET.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${QUILLWAVE_CROSS_QEMU} -L /usr/${QUILLWAVE_CROSS_TRIPLET}
    -E LD_LIBRARY_PATH=/lib:/usr/lib/${QUILLWAVE_CROSS_TRIPLET})

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

# Those that apt cannot install beside the build machine's packages (their
# versions differ) scripts/install-deps.sh --cross extracts instead into a
# folder, QUILLWAVE_CROSS_SYSROOT (scripts/cross-test.sh passes it), which
# then stands in for / where they would have gone: pkg-config reads their
# .pc files there (paths in /usr, which it leaves out as the system's), CMake
# finds their libraries there, the compiler their headers, and the linker
# (-rpath-link, CMakeLists.txt) and the emulator their own dependencies. Not
# PKG_CONFIG_SYSROOT_DIR: it would move the installed packages' paths too.
if(NOT QUILLWAVE_CROSS_MULTIARCH)
  set(QUILLWAVE_CROSS_MULTIARCH ${QUILLWAVE_CROSS_TRIPLET})  # Debian's name of the library folders
endif()
set(QUILLWAVE_CROSS_LIBRARY_PATH "")
set(QUILLWAVE_CROSS_LINK_OPTIONS "")
if(QUILLWAVE_CROSS_SYSROOT AND IS_DIRECTORY "${QUILLWAVE_CROSS_SYSROOT}")
  set(quillwave_root ${QUILLWAVE_CROSS_SYSROOT})
  set(quillwave_multiarch ${QUILLWAVE_CROSS_MULTIARCH})
  list(APPEND CMAKE_FIND_ROOT_PATH ${quillwave_root})
  set(ENV{PKG_CONFIG_LIBDIR} "${quillwave_root}/usr/lib/${quillwave_multiarch}/pkgconfig:\
${quillwave_root}/usr/share/pkgconfig:/usr/lib/${quillwave_multiarch}/pkgconfig:/usr/share/pkgconfig")
  foreach(language C CXX)
    set(CMAKE_${language}_STANDARD_INCLUDE_DIRECTORIES
        ${quillwave_root}/usr/include/${quillwave_multiarch} ${quillwave_root}/usr/include)
  endforeach()
  set(quillwave_libraries ${quillwave_root}/lib/${quillwave_multiarch}:${quillwave_root}/usr/lib/${quillwave_multiarch})
  set(QUILLWAVE_CROSS_LIBRARY_PATH :${quillwave_libraries})
  set(QUILLWAVE_CROSS_LINK_OPTIONS LINKER:-rpath-link,${quillwave_libraries})
endif()

# -L: where the target's dynamic loader and C library lie. The library path
# names them first (/lib is the cross compiler's under -L): a target libc
# of Debian's multiarch packages, in /lib/TRIPLET, would otherwise be found
# before them and run under the cross loader, which hangs (seen with a
# newer libc6:arm64). Then the formats' libraries, in /usr/lib/TRIPLET, and
# those extracted.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${QUILLWAVE_CROSS_QEMU} -L /usr/${QUILLWAVE_CROSS_TRIPLET}
    -E LD_LIBRARY_PATH=/lib:/usr/lib/${QUILLWAVE_CROSS_MULTIARCH}${QUILLWAVE_CROSS_LIBRARY_PATH})

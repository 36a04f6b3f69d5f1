# Cross build for Debian i386 (cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i386.cmake).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUILLWAVE_CROSS_TRIPLET i686-linux-gnu)
set(QUILLWAVE_CROSS_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

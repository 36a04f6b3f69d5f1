# Cross build for Debian i386 (cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i386.cmake).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUILLWAVE_CROSS_TRIPLET i686-linux-gnu)
set(QUILLWAVE_CROSS_QEMU qemu-i386)
set(QUILLWAVE_CROSS_MULTIARCH i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# An x86-64 kernel runs i386 programs itself, through the target's own
# dynamic loader: faster than qemu-i386, and real (qemu-i386 spins forever
# in programs whose threads wait on each other, such as the writer thread).
# Its C library first, then the formats' libraries (Debian's i386 packages,
# installed or extracted).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/${QUILLWAVE_CROSS_TRIPLET}/lib/ld-linux.so.2
    --library-path /usr/${QUILLWAVE_CROSS_TRIPLET}/lib:/usr/lib/i386-linux-gnu${QUILLWAVE_CROSS_LIBRARY_PATH})

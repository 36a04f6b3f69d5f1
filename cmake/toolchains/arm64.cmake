# Cross build for Debian arm64 (cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm64.cmake).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUILLWAVE_CROSS_TRIPLET aarch64-linux-gnu)
set(QUILLWAVE_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

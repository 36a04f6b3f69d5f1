# Cross build for Debian armhf (cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(QUILLWAVE_CROSS_TRIPLET arm-linux-gnueabihf)
set(QUILLWAVE_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

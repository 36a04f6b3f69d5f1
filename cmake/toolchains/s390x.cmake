# Cross build for Debian s390x (cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/s390x.cmake).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QUILLWAVE_CROSS_TRIPLET s390x-linux-gnu)
set(QUILLWAVE_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# Tests of a cross build (included from tests/ when CMAKE_CROSSCOMPILING).
#
# Debian's libgtest-dev holds GoogleTest for the build machine only, so it is
# built here for the target from Debian's sources (package googletest),
# which name its libraries GTest::gtest and GTest::gtest_main as well.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# CTest runs the test programs under CMAKE_CROSSCOMPILING_EMULATOR, but the
# program tests start the quillwave binary themselves, by path and from shell
# commands: a script that runs it under the emulator stands in for it.
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
foreach(program quillwave quillwave-export)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/${program}-emulated
       CONTENT "#!/bin/sh\nexec ${emulator} '$<TARGET_FILE:${program}>' \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
endforeach()
set(QUILLWAVE_BINARY_UNDER_TEST ${PROJECT_BINARY_DIR}/quillwave-emulated)
set(QUILLWAVE_EXPORT_BINARY_UNDER_TEST ${PROJECT_BINARY_DIR}/quillwave-export-emulated)

# GCC 12 sees a false overlap in one of GoogleTest's string functions.
target_compile_options(gtest PRIVATE -Wno-restrict)

# The Debian package (cpack -G DEB; scripts/check-package.sh builds and checks
# it). Beyond what cmake --install puts in place, Debian wants a changelog and
# a machine-readable copyright file in each package's documentation folder;
# those go into the packages alone (components "debian-PACKAGE"), and LICENSE
# stays out of them, since the copyright file carries the same text.
set(QUILLWAVE_MAINTAINER "The quillwave authors <quillwave-devel@lists.quillwave.org>")

# The copyright file is made from LICENSE, so that the two never disagree:
# its copyright line, then its notice as a DEP-5 text block (each line
# indented by one space, blank lines as " .").
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright_line "${license}")
set(QUILLWAVE_COPYRIGHT "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n" "" notice "${license}")
string(STRIP "${notice}" notice)
string(REPLACE "\n\n" "\n.\n" notice "${notice}")
string(REPLACE "\n" "\n " QUILLWAVE_LICENSE_TEXT " ${notice}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${PROJECT_BINARY_DIR}/packaging/copyright @ONLY)

add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)

# Each package has its own documentation folder with both files.
set(packages quillwave libquillwave0 libquillwave-dev)
if(QUILLWAVE_PYTHON_PACKAGE)
  list(APPEND packages python3-quillwave)
endif()
foreach(package ${packages})
  install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT debian-${package}
          EXCLUDE_FROM_ALL)
endforeach()

# The usual split: the shared library alone (libquillwave0, named after its
# SONAME), what building against it needs (libquillwave-dev), and the
# programs (quillwave), each depending on the library of the same version.
set(CPACK_PACKAGE_NAME quillwave)
set(CPACK_PACKAGE_VENDOR "the quillwave authors")
# Each package's description starts with its own summary line; CPack
# prepends the project's summary unless it is left at CPack's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "${QUILLWAVE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for the package that holds the shared library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# dpkg-shlibdeps finds the library the programs link in its own package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Installed as under /usr with DESTDIR pointing into the package: the
# pkg-config file, made when installing, names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL programs debian-quillwave library debian-libquillwave0 development
    debian-libquillwave-dev)
set(quillwave_version_dependency "(= ${PROJECT_VERSION})")

set(CPACK_COMPONENT_PROGRAMS_GROUP quillwave)
set(CPACK_COMPONENT_DEBIAN-QUILLWAVE_GROUP quillwave)
set(CPACK_DEBIAN_QUILLWAVE_PACKAGE_NAME quillwave)
set(CPACK_DEBIAN_QUILLWAVE_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QUILLWAVE_PACKAGE_DEPENDS "libquillwave0 ${quillwave_version_dependency}")
set(CPACK_DEBIAN_QUILLWAVE_DESCRIPTION "convert waveform capture files to text
quillwave lists the waveforms of a binary waveform capture file (a
Veltranix Public Waveform File) or writes each of them to a text file of
sample times and values, exactly as C's printf formats them: fast, in a few
MiB of memory whatever the capture's size, and safely on damaged files.
quillwave-export writes every waveform of many captures losslessly as CSV or
NumPy files with a JSON description.")

set(CPACK_COMPONENT_LIBRARY_GROUP libquillwave0)
set(CPACK_COMPONENT_DEBIAN-LIBQUILLWAVE0_GROUP libquillwave0)
set(CPACK_DEBIAN_LIBQUILLWAVE0_PACKAGE_NAME libquillwave0)
set(CPACK_DEBIAN_LIBQUILLWAVE0_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The library cache is refreshed by dpkg's ldconfig trigger; maintainer
# scripts of our own (which CPack would make to call ldconfig) stand in for
# the ones it makes, and do nothing.
# libmatio is loaded only to write a MAT 7.3 file (so dpkg-shlibdeps does
# not see it): recommended, since without it such waveforms are refused,
# yet all else works. Not merely suggested: a mat export of a large
# waveform is an ordinary use, and Recommends is installed by default.
if(QUILLWAVE_MATIO_PACKAGE)
  set(CPACK_DEBIAN_LIBQUILLWAVE0_PACKAGE_RECOMMENDS ${QUILLWAVE_MATIO_PACKAGE})
endif()
set(CPACK_DEBIAN_LIBQUILLWAVE0_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_LIBQUILLWAVE0_DESCRIPTION "read waveform capture files exactly (shared library)
libquillwave reads binary waveform capture files (Veltranix Public Waveform
Files) safely, also when damaged, and hands any range of their waveforms'
samples and exact times to C, C++ and any language that calls C, or exports
them as CSV or NumPy files.")

set(CPACK_COMPONENT_DEVELOPMENT_GROUP libquillwave-dev)
set(CPACK_COMPONENT_DEBIAN-LIBQUILLWAVE-DEV_GROUP libquillwave-dev)
set(CPACK_DEBIAN_LIBQUILLWAVE-DEV_PACKAGE_NAME libquillwave-dev)
set(CPACK_DEBIAN_LIBQUILLWAVE-DEV_PACKAGE_SECTION libdevel)
# Linking the static library takes the export formats' libraries too (the
# pkg-config file's Requires.private names them).
set(quillwave_dev_depends "libquillwave0 ${quillwave_version_dependency}")
if(QUILLWAVE_PC_REQUIRES_PRIVATE MATCHES "libzip")
  string(APPEND quillwave_dev_depends ", libzip-dev")
endif()
if(QUILLWAVE_PC_REQUIRES_PRIVATE MATCHES "sndfile")
  string(APPEND quillwave_dev_depends ", libsndfile1-dev")
endif()
set(CPACK_DEBIAN_LIBQUILLWAVE-DEV_PACKAGE_DEPENDS "${quillwave_dev_depends}")
set(CPACK_DEBIAN_LIBQUILLWAVE-DEV_DESCRIPTION "read waveform capture files exactly (development files)
libquillwave reads binary waveform capture files (Veltranix Public Waveform
Files) safely, also when damaged, and hands any range of their waveforms'
samples and exact times to C, C++ and any language that calls C.
This package holds the header, the static library, the pkg-config file and
the CMake package (find_package(quillwave)).")

# The Python package, when it is built: the extension is for one version of
# Debian's python3.
if(QUILLWAVE_PYTHON_PACKAGE)
  list(APPEND CPACK_COMPONENTS_ALL python3-quillwave debian-python3-quillwave)
  set(CPACK_COMPONENT_PYTHON3-QUILLWAVE_GROUP python3-quillwave)
  set(CPACK_COMPONENT_DEBIAN-PYTHON3-QUILLWAVE_GROUP python3-quillwave)
  set(CPACK_DEBIAN_PYTHON3-QUILLWAVE_PACKAGE_NAME python3-quillwave)
  set(CPACK_DEBIAN_PYTHON3-QUILLWAVE_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON3-QUILLWAVE_PACKAGE_DEPENDS
      "libquillwave0 ${quillwave_version_dependency}, python3-numpy, python3 (>= ${QUILLWAVE_PYTHON_VERSION}~), python3 (<< ${QUILLWAVE_PYTHON_NEXT_VERSION})")
  set(CPACK_DEBIAN_PYTHON3-QUILLWAVE_DESCRIPTION "read waveform capture files exactly (Python 3)
The Python package quillwave reads binary waveform capture files safely,
also when damaged, and hands their waveforms to Python as numpy arrays
equal bit for bit to what is stored, with exact sample times; in ranges or
blocks for waveforms larger than memory, from several threads at once, or
as pandas and xarray objects. python3 -m quillwave describes captures.")
endif()
include(CPack)

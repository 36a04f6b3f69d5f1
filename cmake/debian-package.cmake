# The Debian package (cpack -G DEB; scripts/check-package.sh builds and checks
# it). Beyond what cmake --install puts in place, Debian wants a changelog and
# a machine-readable copyright file in the documentation folder; those go into
# the package alone (component "debian"), and LICENSE stays out of it, since
# the copyright file carries the same text.
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

install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME quillwave)
set(CPACK_PACKAGE_VENDOR "the quillwave authors")
set(CPACK_PACKAGE_CONTACT "${QUILLWAVE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert waveform capture files to text")
set(CPACK_PACKAGE_DESCRIPTION "quillwave lists the waveforms of a binary waveform capture file (a
Veltranix Public Waveform File) or writes each of them to a text file of
sample times and values, exactly as C's printf formats them: fast, in a few
MiB of memory whatever the capture's size, and safely on damaged files.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
# One package of everything installed by default, plus the Debian files,
# without LICENSE (component "license").
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
include(CPack)

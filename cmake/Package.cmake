# SPDX-License-Identifier: Apache-2.0
# The Debian package, made by CPack from the install rules of cmake/Install.cmake;
# dependencies come from dpkg-shlibdeps. A headless tree makes quillet_VERSION_ARCH.deb
# (no Qt), a tree with the window quillet-gui_VERSION_ARCH.deb, which takes its place.
# scripts/package builds them and checks them with lintian.
set(CPACK_GENERATOR DEB)
if(QUILLET_GUI)
  set(CPACK_PACKAGE_NAME quillet-gui)
  set(flavour "This package is the build with the window: a contact list, call controls,
tray icon, hot keys and notifications. quillet --headless runs without it.")
  # Both flavours install /usr/bin/quillet: one replaces the other.
  set(CPACK_DEBIAN_PACKAGE_CONFLICTS quillet)
  set(CPACK_DEBIAN_PACKAGE_REPLACES quillet)
  set(CPACK_DEBIAN_PACKAGE_PROVIDES "quillet (= ${PROJECT_VERSION})")
else()
  set(CPACK_PACKAGE_NAME quillet)
  set(flavour "This package is the build without a window: quillet runs headless (also as
a systemd user service); it needs no Qt.")
endif()
set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
  OUTPUT ${changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND ${QUILLET_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${changelog})
# Debian looks for them in the folder named after the package.
install(FILES ${changelog} ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})

set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hands-free SIP desk intercom and SIP telephone")
# CPack puts the summary first and indents every line of the long description itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quillet places SIP intercom calls that the far end answers by itself and
plays at once on its loudspeaker, and is a SIP phone on a configured line:
registration, calls, DTMF, transfers, contacts and logs.
quillet-tool gives scripts access to the settings, contacts and building
blocks.
.
${flavour}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillet maintainers <maintainers@quillet.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

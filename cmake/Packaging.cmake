# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The Debian package kxrwebserver_<version>_<arch>.deb, made by CPack from
# the install rules: `cmake --build --preset release --target package` (or
# `cpack` in the build folder). It holds the daemon, kxr-cli, the simulator,
# their man pages, the systemd units and the samples under /usr/share; its
# postinst creates the daemon's user and groups and the folder of the users
# file when missing. The live document root and
# the front web server's configuration are never part of it.
include(GNUInstallDirs)
set(KXR_PACKAGE_MAINTAINER "KXRWebServer developers <kxrwebserver@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kxrwebserver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KXR_PACKAGE_MAINTAINER})
# BSD-2-Clause: Debian's control file has no field for it; the package
# states it in /usr/share/doc/kxrwebserver/copyright (contrib/debian/copyright).
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "web service and pages of a device's object dictionary")
# The extended description below the summary, in lines of at most 80
# characters as Debian's control files want them.
string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "KXRWebServer serves a device's configuration pages over HTTP on a Unix"
  "socket, behind a front web server, and answers the ReadWrite SOAP call"
  "that reads and writes the entries of the device's object dictionary"
  "through the local device-profile service."
  "."
  "Also in the package: kxr-cli, which reads and writes entries from the"
  "shell; kxr-service-sim, a stand-in for the device-profile service; and"
  "samples of the device pages and of an nginx site under"
  "/usr/share/KXRWebServer.")
# Debian's own paths; /usr/local belongs to the administrator.
# The templates of contrib/ are filled in with the prefix of the install,
# so the install runs with prefix /usr into the staging folder (DESTDIR).
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# addgroup and adduser, for the postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(kxrPackageDir ${CMAKE_BINARY_DIR}/package)
get_filename_component(KXR_USERS_DIR "${KXR_USERS_FILE}" DIRECTORY)
get_filename_component(KXR_ROLES_DIR "${KXR_ROLES_FILE}" DIRECTORY)
configure_file(${PROJECT_SOURCE_DIR}/contrib/debian/postinst ${kxrPackageDir}/postinst @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${kxrPackageDir}/postinst)

# Debian's documentation files and a compressed man page, added to the staged
# files by DebianStaging.cmake; a plain `cmake --install` does without them.
string(TIMESTAMP KXR_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/contrib/debian/changelog ${kxrPackageDir}/changelog @ONLY)
set(CPACK_KXR_DOC_FILES ${PROJECT_SOURCE_DIR}/contrib/debian/copyright ${kxrPackageDir}/changelog)
set(CPACK_KXR_MAN_DIR ${CMAKE_INSTALL_MANDIR})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianStaging.cmake)

include(CPack)

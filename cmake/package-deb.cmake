# SPDX-License-Identifier: MIT
# cpack -G DEB: a Debian package of what cmake --install puts under /usr and /etc.
# Configure with -DMENUHOLD_INIT_SCRIPT=menuhold, Debian's name for the init script, so
# that under systemd the unit of the same name replaces it. Built with MENUHOLD_STATIC,
# the programs need no library and the package depends on nothing; otherwise
# dpkg-shlibdeps lists what they need, which works for native builds only (it cannot read
# a cross build's libraries).
set(CPACK_PACKAGE_NAME menuhold)
set(CPACK_PACKAGE_VENDOR "The Menuhold developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "holds uploaded product files and publishes them as a product table")
set(CPACK_PACKAGE_DESCRIPTION "Menuhold takes product files that the device's web back end uploads,
keeps the newest version of each and publishes them as a product table.")
set(MENUHOLD_DEB_MAINTAINER "The Menuhold developers <menuhold@localhost>" CACHE STRING
    "Maintainer field of the .deb")
set(CPACK_PACKAGE_CONTACT "${MENUHOLD_DEB_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/finish.cmake)
if(CMAKE_CROSSCOMPILING AND NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  # CPack would name the build machine's; CMake's "powerpc" is also Debian's name.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
endif()
if(NOT MENUHOLD_STATIC)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(_deb_control ${PROJECT_BINARY_DIR}/deb)
file(MAKE_DIRECTORY ${_deb_control})
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "")
foreach(script postinst prerm postrm)
  configure_file(packaging/debian/${script}.in ${_deb_control}/${script} @ONLY FILE_PERMISSIONS ${MENUHOLD_MODE_0755})
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_deb_control}/${script})
endforeach()
if(MENUHOLD_INIT_SCRIPT)
  file(WRITE ${_deb_control}/conffiles "/etc/init.d/${MENUHOLD_INIT_SCRIPT}\n")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_deb_control}/conffiles)
endif()
include(CPack)

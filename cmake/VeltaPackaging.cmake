# SPDX-License-Identifier: GPL-3.0-or-later
# Debian packages of the library, made by `cpack -G DEB` in the build folder:
#   libvelta-client0     the shared library (component "runtime"); its
#                        dependencies (libgloox18, libstdc++6, ...) are found
#                        by dpkg-shlibdeps, from the dpkg-dev package
#   libvelta-client-dev  the header, the .so link, the CMake package and
#                        velta-client.pc (component "development")
#   velta-client-tools   velta-cli, velta-services and velta-check
#                        (component "tools")
# Each carries /usr/share/doc/<package>/copyright and changelog.gz, from
# cmake/debian/.
# Install into /usr: configure with -DCMAKE_INSTALL_PREFIX=/usr to have the
# library in the multiarch folder (lib/<triplet>) as Debian's own are.

set(CPACK_PACKAGE_NAME "velta-client")
set(CPACK_PACKAGE_VENDOR "velta-client developers")
# The maintainer named in the packages; give your own with -DVELTA_PACKAGE_CONTACT.
set(VELTA_PACKAGE_CONTACT "velta-client developers <velta-client@example.org>" CACHE STRING
    "Maintainer of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${VELTA_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${VELTA_CLIENT_SUMMARY}")
set(CPACK_PACKAGE_DESCRIPTION
  "A C++17 shared library for the host program of a multi-user 3D world: \
person-to-person chat and typed service requests over XMPP, polled from the \
host's own thread.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(VELTA_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# A shlibs file for the SONAME, so that programs built on it depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "libvelta-client${PROJECT_VERSION_MAJOR}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# Debian runs ldconfig through a trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/cmake/debian/triggers")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "libvelta-client-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME "velta-client-tools")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
# velta-cli and velta-check load libvelta_client.so.0 from the runtime
# package (a dependency of its own, below); dpkg-shlibdeps finds it here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/src")

# The copyright and the changelog (compressed as Debian wants: gzip -9n).
set(VELTA_CHANGELOG_GZ "${PROJECT_BINARY_DIR}/debian/changelog.gz")
file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/debian")
execute_process(COMMAND gzip -9nc "${PROJECT_SOURCE_DIR}/cmake/debian/changelog"
  OUTPUT_FILE "${VELTA_CHANGELOG_GZ}" COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/cmake/debian/changelog")
foreach(component runtime development tools)
  string(TOUPPER ${component} upper)
  install(FILES "${PROJECT_SOURCE_DIR}/cmake/debian/copyright" "${VELTA_CHANGELOG_GZ}"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}"
    COMPONENT ${component})
endforeach()

# `cpack --config CPackSourceConfig.cmake` packs the sources, not the builds.
set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

include(CPack)

cpack_add_component(runtime
  DISPLAY_NAME "Shared library"
  DESCRIPTION "libvelta_client.so.${PROJECT_VERSION_MAJOR}, what a host needs at run time")
cpack_add_component(development
  DISPLAY_NAME "Development files"
  DESCRIPTION "The header, the CMake package and the pkg-config file"
  DEPENDS runtime)
cpack_add_component(tools
  DISPLAY_NAME "Tools"
  DESCRIPTION "velta-cli, velta-services and velta-check: a host, the services, a server check"
  DEPENDS runtime)

# Debian packages of the library, made by `cpack -G DEB` in the build folder:
#   libvelta-client0     the shared library (component "runtime"); its
#                        dependencies (libgloox18, libstdc++6, ...) are found
#                        by dpkg-shlibdeps, from the dpkg-dev package
#   libvelta-client-dev  the header, the .so link, the CMake package and
#                        velta-client.pc (component "development")
# Install into /usr: configure with -DCMAKE_INSTALL_PREFIX=/usr to have the
# library in the multiarch folder (lib/<triplet>) as Debian's own are.

set(CPACK_PACKAGE_NAME "velta-client")
set(CPACK_PACKAGE_VENDOR "velta-client developers")
set(CPACK_PACKAGE_CONTACT "velta-client developers <velta-client@localhost>")
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
# Only the library's components: tools installed by other rules stay out.
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# A shlibs file for the SONAME, so that programs built on it depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "libvelta-client${PROJECT_VERSION_MAJOR}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "libvelta-client-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")

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

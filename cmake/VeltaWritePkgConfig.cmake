# SPDX-License-Identifier: GPL-3.0-or-later
# Run at install time (from install(CODE)) to write velta-client.pc for the
# prefix actually installed into: the one given to `cmake --install --prefix`
# or the packaging prefix of cpack, not necessarily the configured one.
#
# Expects VELTA_PC_TEMPLATE, VELTA_PC_STAGING (a folder of the build tree),
# VELTA_PC_INSTALL_LIBDIR, VELTA_PC_INSTALL_INCLUDEDIR, VELTA_PC_VERSION and
# VELTA_PC_DESCRIPTION; CMAKE_INSTALL_PREFIX is set by the install script.

function(velta_pc_dir result dir)
  if(IS_ABSOLUTE "${dir}")
    set(${result} "${dir}" PARENT_SCOPE)
  else()
    set(${result} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

set(VELTA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
velta_pc_dir(VELTA_PC_LIBDIR "${VELTA_PC_INSTALL_LIBDIR}")
velta_pc_dir(VELTA_PC_INCLUDEDIR "${VELTA_PC_INSTALL_INCLUDEDIR}")

file(READ "${VELTA_PC_TEMPLATE}" velta_pc_text)
string(CONFIGURE "${velta_pc_text}" velta_pc_text @ONLY)

# One staging folder per prefix, so that installs into different prefixes
# running at the same time (a test and cpack) do not share a file.
string(MD5 velta_pc_key "${CMAKE_INSTALL_PREFIX}")
set(velta_pc_file "${VELTA_PC_STAGING}/${velta_pc_key}/velta-client.pc")
file(WRITE "${velta_pc_file}" "${velta_pc_text}")

if(IS_ABSOLUTE "${VELTA_PC_INSTALL_LIBDIR}")
  set(velta_pc_destination "${VELTA_PC_INSTALL_LIBDIR}/pkgconfig")
else()
  set(velta_pc_destination "${CMAKE_INSTALL_PREFIX}/${VELTA_PC_INSTALL_LIBDIR}/pkgconfig")
endif()
file(INSTALL DESTINATION "${velta_pc_destination}" TYPE FILE FILES "${velta_pc_file}")

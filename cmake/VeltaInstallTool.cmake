# SPDX-License-Identifier: GPL-3.0-or-later
# velta_install_tool(TARGET): installs a tool into bin/ as component "tools"
# (`cmake --install build --component tools`, and the velta-client-tools
# Debian package). A tool finds the library of its own prefix through its
# RUNPATH (../lib), wherever the prefix is put at install time; built for
# /usr (the Debian packages) it needs none.
function(velta_install_tool target)
  if(NOT VELTA_INSTALL OR NOT VELTA_BUILD_TOOLS)
    return()
  endif()
  if(NOT CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endfunction()

# velta_install_tool(TARGET): installs a tool into bin/ as component "tools"
# (`cmake --install build --component tools`, and the velta-client-tools
# Debian package). Installed into a private prefix, a tool finds the library
# beside it through its RUNPATH; in /usr and /usr/local the loader's own
# folders hold it.
function(velta_install_tool target)
  if(NOT VELTA_INSTALL OR NOT VELTA_BUILD_TOOLS)
    return()
  endif()
  if(NOT CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?/?$")
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endfunction()

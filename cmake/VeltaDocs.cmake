# SPDX-License-Identifier: GPL-3.0-or-later
# `cmake --build build --target doc` writes the API reference, from the
# public header with README.md as its main page, to build/doc/html. The target
# exists only when Doxygen is installed; nothing else depends on it.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "Doxygen not found: no \"doc\" target")
  return()
endif()

set(DOXYGEN_PROJECT_NAME "velta-client")
set(DOXYGEN_PROJECT_NUMBER "${PROJECT_VERSION}")
set(DOXYGEN_PROJECT_BRIEF "${VELTA_CLIENT_SUMMARY}")
set(DOXYGEN_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}/doc")
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE "${PROJECT_SOURCE_DIR}/README.md")
set(DOXYGEN_STRIP_FROM_PATH "${PROJECT_SOURCE_DIR}/include")
set(DOXYGEN_STRIP_FROM_INC_PATH "${PROJECT_SOURCE_DIR}/include")
set(DOXYGEN_EXTRACT_ALL YES)
set(DOXYGEN_SORT_MEMBER_DOCS NO)
set(DOXYGEN_GENERATE_HTML YES)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_GENERATE_TREEVIEW YES)
set(DOXYGEN_QUIET YES)
set(DOXYGEN_WARN_IF_UNDOCUMENTED NO)
# What the compiler sees in a host: the export macro expands to nothing.
set(DOXYGEN_ENABLE_PREPROCESSING YES)
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
set(DOXYGEN_PREDEFINED "VELTA_CLIENT_API=")

doxygen_add_docs(doc
  ${PROJECT_SOURCE_DIR}/include/velta_client/velta_client.hpp
  ${PROJECT_SOURCE_DIR}/README.md
  COMMENT "API reference in ${PROJECT_BINARY_DIR}/doc/html")

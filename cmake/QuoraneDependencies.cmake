# The library's dependencies, found the same way when it is built and when a
# consumer finds its installed CMake package (where a missing one makes
# find_package(QuoraneSupport) fail with the reason instead of stopping).
include_guard(DIRECTORY)

macro(_quorane_find name)
  if(CMAKE_FIND_PACKAGE_NAME STREQUAL "QuoraneSupport")
    find_dependency(${name} ${ARGN})
  else()
    find_package(${name} ${ARGN} REQUIRED)
  endif()
endmacro()

# What the public headers use: Boost.Filesystem paths and RapidJSON values.
# RapidJSON is headers only; its package gives a target in newer releases and
# only a variable in older ones (Debian's), so Quorane::RapidJSON stands for
# either.
macro(quorane_find_public_dependencies)
  _quorane_find(Boost 1.74 COMPONENTS filesystem)
  _quorane_find(RapidJSON)
  if(NOT TARGET Quorane::RapidJSON)
    add_library(Quorane::RapidJSON INTERFACE IMPORTED)
    if(TARGET RapidJSON)
      target_link_libraries(Quorane::RapidJSON INTERFACE RapidJSON)
    elseif(RapidJSON_INCLUDE_DIRS OR RAPIDJSON_INCLUDE_DIRS)
      set(_quorane_rapidjson_dirs ${RapidJSON_INCLUDE_DIRS} ${RAPIDJSON_INCLUDE_DIRS})
      set_target_properties(Quorane::RapidJSON PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${_quorane_rapidjson_dirs}")
    else()
      message(FATAL_ERROR "RapidJSON was found at ${RapidJSON_DIR} but names no include "
        "directory (neither a RapidJSON target nor RapidJSON_INCLUDE_DIRS)")
    endif()
  endif()
endmacro()

# What only the library's own code uses: ICU's common library for the
# platform strings, and GIO for MIME types and applications. A shared library
# hides them; a static one passes them on to the program that links it.
macro(quorane_find_private_dependencies)
  _quorane_find(ICU COMPONENTS uc)
  _quorane_find(PkgConfig)
  if(NOT TARGET PkgConfig::QUORANE_GIO)
    pkg_check_modules(QUORANE_GIO REQUIRED IMPORTED_TARGET gio-2.0 gio-unix-2.0)
  endif()
endmacro()

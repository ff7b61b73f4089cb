# Install rules, in components that are each one Debian package, and the
# packages CPack makes of them:
#   runtime        the shared library                   libquorane-support1
#   updater        bin/quorane-update and its manual page      quorane-update
#   development    the headers, the CMake package, the pkg-config file, the
#                  library's name link, or the static library when built so
#                                                       libquorane-support-dev
#   documentation  the API reference's HTML, when QUORANE_DOCS_HTML names it
#                                                                  quorane-doc
include(CMakePackageConfigHelpers)
set(CMAKE_INSTALL_RPATH_USE_LINK_PATH OFF)

# The package names, also the names of their documentation directories. The
# library's carries its SONAME's version, so that a new major version is a
# package of its own, installable beside this one.
set(QUORANE_RUNTIME_PACKAGE libquorane-support${PROJECT_VERSION_MAJOR})
set(QUORANE_UPDATER_PACKAGE quorane-update)
set(QUORANE_DEVELOPMENT_PACKAGE libquorane-support-dev)
set(QUORANE_DOCUMENTATION_PACKAGE quorane-doc)
set(QUORANE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QuoraneSupport)

install(TARGETS quorane_support EXPORT QuoraneSupportTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

install(DIRECTORY include/quorane ${CMAKE_CURRENT_BINARY_DIR}/include/quorane
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.h")

# The CMake package. A static library's export names its private
# dependencies, which the package then finds as well.
if(QUORANE_LIBRARY_KIND STREQUAL "SHARED")
  set(QUORANE_PACKAGE_STATIC OFF)
else()
  set(QUORANE_PACKAGE_STATIC ON)
endif()
install(EXPORT QuoraneSupportTargets NAMESPACE Quorane:: DESTINATION ${QUORANE_PACKAGE_DIR}
  COMPONENT development)
configure_package_config_file(cmake/QuoraneSupportConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QuoraneSupportConfig.cmake
  INSTALL_DESTINATION ${QUORANE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QuoraneSupportConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/QuoraneSupportConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/QuoraneSupportConfigVersion.cmake
  cmake/QuoraneDependencies.cmake
  DESTINATION ${QUORANE_PACKAGE_DIR} COMPONENT development)

# pkg-config. Relocatable: the prefix is found from where the file lies. A
# static library names what it needs to link (pkg-config --static); a shared
# one hides it, and names none, so that its file works with no more than its
# public dependencies installed.
set(QUORANE_PC_PRIVATE "")
if(QUORANE_PACKAGE_STATIC)
  set(QUORANE_PC_PRIVATE "# ICU and GIO link into the program with the static library, as does the
# C++ runtime when a C compiler links it.
Requires.private: icu-uc gio-2.0 gio-unix-2.0
Libs.private: -lstdc++ -lm
")
endif()
file(RELATIVE_PATH QUORANE_PC_TO_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig"
  "${CMAKE_INSTALL_PREFIX}")
configure_file(cmake/quorane-support.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quorane-support.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quorane-support.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# Compressed the way Debian's tools expect: at most, without a timestamp.
find_program(QUORANE_GZIP gzip REQUIRED)
function(quorane_gzip file)
  execute_process(COMMAND ${QUORANE_GZIP} -9nf ${file} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "could not compress ${file}")
  endif()
endfunction()

if(TARGET quorane-update)
  install(TARGETS quorane-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT updater)
  configure_file(updater/man/quorane-update.1 ${CMAKE_CURRENT_BINARY_DIR}/man/quorane-update.1
    COPYONLY)
  quorane_gzip(${CMAKE_CURRENT_BINARY_DIR}/man/quorane-update.1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/quorane-update.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT updater)
endif()

# The API reference as scripts/docs.sh builds it (scripts/package.sh passes
# it); nothing is built here, so the install needs no Doxygen.
set(QUORANE_DOCS_HTML "" CACHE PATH
  "The built API reference (scripts/docs.sh) to install as the documentation component")
# A static build installs no runtime component: its library is the
# development one's.
set(QUORANE_COMPONENTS development)
if(NOT QUORANE_PACKAGE_STATIC)
  list(PREPEND QUORANE_COMPONENTS runtime)
endif()
if(TARGET quorane-update)
  list(APPEND QUORANE_COMPONENTS updater)
endif()
if(QUORANE_DOCS_HTML)
  if(NOT EXISTS ${QUORANE_DOCS_HTML}/index.html)
    message(FATAL_ERROR "QUORANE_DOCS_HTML=${QUORANE_DOCS_HTML} holds no API reference: "
      "build it with scripts/docs.sh")
  endif()
  list(APPEND QUORANE_COMPONENTS documentation)
  install(DIRECTORY ${QUORANE_DOCS_HTML}/
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUORANE_DOCUMENTATION_PACKAGE}/html
    COMPONENT documentation)
  # Registered with the system's documentation index (doc-base).
  install(FILES cmake/debian/quorane-doc.doc-base DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc-base
    RENAME ${QUORANE_DOCUMENTATION_PACKAGE} COMPONENT documentation)
endif()

# Each package carries the licence and the changelog in its own
# documentation directory, the changelog in the form and under the name
# Debian's tools look for.
configure_file(cmake/debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.Debian @ONLY)
quorane_gzip(${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.Debian)
foreach(component ${QUORANE_COMPONENTS})
  string(TOUPPER ${component} upper)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUORANE_${upper}_PACKAGE}
    RENAME copyright COMPONENT ${component})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUORANE_${upper}_PACKAGE}
    COMPONENT ${component})
endforeach()

# CPack writes one configuration for the whole build tree, so only a
# top-level build makes the packages; a parent project packages its own way.
if(QUORANE_TOP_LEVEL)
  include(QuoranePackaging)
endif()

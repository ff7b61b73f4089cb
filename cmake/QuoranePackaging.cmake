# CPack: one .deb per install component, and one .tar.gz of everything.
#   scripts/package.sh builds them (configured with the /usr prefix).
set(CPACK_PACKAGE_NAME quorane)
set(CPACK_PACKAGE_VENDOR "The Quorane authors")
set(CPACK_PACKAGE_CONTACT "The Quorane authors <quorane@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES /\\.git/ /build/)

# The tarball holds every component; the Debian packages one each.
set(CPACK_COMPONENTS_ALL ${QUORANE_COMPONENTS})
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# A Debian package's description: a summary line, then the longer text.
set(quorane_library_about "Path, file, text, JSON and host functions, and the file class CQuoraneFile,
for the Quorane agent and the programs around it.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Quorane support library
${quorane_library_about}
.
This package holds the shared library.")
set(CPACK_DEBIAN_UPDATER_DESCRIPTION "Updater of the Quorane agent's bundles
quorane-update swaps the two application bundles of the resident Quorane
agent for the contents of two zip archives while the agent is stopped, and
keeps the old bundles when the new ones do not both arrive intact.")
if(QUORANE_PACKAGE_STATIC)
  set(quorane_development_library "the static library")
else()
  set(quorane_development_library "the link to the shared library")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "Quorane support library - development files
${quorane_library_about}
.
This package holds the headers (<quorane/Utils.h>, <quorane/QuoraneFile.h>),
the CMake package QuoraneSupport exporting Quorane::support, the pkg-config
file quorane-support and ${quorane_development_library}.")

set(CPACK_DEBIAN_DOCUMENTATION_DESCRIPTION
  "API reference of the Quorane support library
The HTML reference of every function, type and macro that the headers of
${QUORANE_DEVELOPMENT_PACKAGE} declare, made by Doxygen from their comments.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Control files (triggers, symbols) get the modes Debian's policy sets,
# whatever the checkout's umask left them with.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quorane.example.org")
# All of them come from the one source tree.
set(CPACK_DEBIAN_PACKAGE_SOURCE quorane)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QUORANE_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME ${QUORANE_UPDATER_PACKAGE})
set(CPACK_DEBIAN_UPDATER_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${QUORANE_DEVELOPMENT_PACKAGE})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DOCUMENTATION_PACKAGE_NAME ${QUORANE_DOCUMENTATION_PACKAGE})
set(CPACK_DEBIAN_DOCUMENTATION_PACKAGE_SECTION doc)
set(CPACK_DEBIAN_DOCUMENTATION_PACKAGE_ARCHITECTURE all)
# The library's and the updater's dependencies are read off their binaries.
# The library's package declares what it provides (shlibs: programs built
# against this release need at least this release; symbols: the release that
# brought each symbol, checked by scripts/package.sh) and has the linker's
# cache renewed by a trigger. CPack would also write maintainer scripts that
# run ldconfig, which the trigger replaces: cmake/debian/drop_ldconfig.cmake
# takes them out of the package once CPack has made it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_UPDATER_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
if(NOT QUORANE_PACKAGE_STATIC)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers
    ${PROJECT_SOURCE_DIR}/cmake/debian/symbols)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/drop_ldconfig.cmake)
endif()
# The updater unpacks with unzip.
set(CPACK_DEBIAN_UPDATER_PACKAGE_DEPENDS "unzip")
# The headers need Boost.Filesystem and RapidJSON to compile and link; the
# name link needs the shared library of the same release, and a static
# library needs what the shared one hides instead.
if(QUORANE_PACKAGE_STATIC)
  set(quorane_dev_depends "libboost-filesystem-dev, rapidjson-dev, libicu-dev, libglib2.0-dev")
else()
  set(quorane_dev_depends
    "${QUORANE_RUNTIME_PACKAGE} (= ${PROJECT_VERSION}-1), libboost-filesystem-dev, rapidjson-dev")
  set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
endif()
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${quorane_dev_depends}")

include(CPack)

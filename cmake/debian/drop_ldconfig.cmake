# Run by CPack once it has made the packages (CPACK_POST_BUILD_SCRIPTS): the
# library's package gets its linker cache renewed by the ldconfig trigger
# (cmake/debian/triggers), so the postinst and postrm CPack writes to run
# ldconfig are taken out of it, and the package is built again from what it
# holds. Each script must be the one CPack writes; anything else stops the
# packaging, so that a script of the project's own is never dropped.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${package} NAME)
  if(NOT name MATCHES "^${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME}_.*\\.deb$")
    continue()
  endif()
  find_program(DPKG_DEB dpkg-deb REQUIRED)
  set(tree ${package}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${DPKG_DEB} --raw-extract ${package} ${tree} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "could not unpack ${package}")
  endif()
  foreach(script postinst postrm)
    if(NOT EXISTS ${tree}/DEBIAN/${script})
      continue()
    endif()
    file(READ ${tree}/DEBIAN/${script} text)
    # CPack's own: run ldconfig when configured (postinst) or removed (postrm).
    string(REGEX REPLACE "[ \t\n]" "" words "${text}")
    if(NOT words MATCHES "^#!/bin/shset-eif\\[\"[$]1\"=\"(configure|remove)\"\\];thenldconfigfi$")
      message(FATAL_ERROR "${name}: its ${script} is not the one CPack writes to run ldconfig:\n"
        "${text}")
    endif()
    file(REMOVE ${tree}/DEBIAN/${script})
  endforeach()
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group --build ${tree} ${package}
    OUTPUT_QUIET RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "could not build ${package} again")
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()

# Builds the outside project in tests/consumer against the library of one
# kind (KIND = shared or static) the three ways a user would, runs what it
# built, and checks that the library left the project's settings alone:
#   package       find_package() of an install, then the same program through
#                 pkg-config, then the programs in examples/
#   subdirectory  add_subdirectory() of the source tree
#   fetch         FetchContent from a file:// git repository of the source tree
#
#   cmake -DSOURCE_DIR=... -DBUILD_DIR=... -DBUILD_KIND=shared|static|none -DKIND=...
#         -DWORK_DIR=... [-DSANITIZE=...] [-DWAYS=package,subdirectory,fetch]
#         -P check_consumers.cmake
#
# BUILD_DIR is the build this test belongs to, of BUILD_KIND (none: it has no
# install rules): when that is KIND its install is used, else a library of
# KIND is built for the package way.
cmake_minimum_required(VERSION 3.20)
if(NOT WAYS)
  set(WAYS package,subdirectory,fetch)
endif()
string(REPLACE "," ";" WAYS "${WAYS}")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(outside ${SOURCE_DIR}/tests/consumer)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
endfunction()

# Runs PROGRAM ARGS... and requires it to print EXPECTED (a regular expression).
function(expect_output expected)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "${expected}")
    message(FATAL_ERROR "${ARGN}: exit ${rc}, printed\n${out}${err}\nexpected ${expected}")
  endif()
endfunction()

if(KIND STREQUAL "shared")
  set(shared ON)
else()
  set(shared OFF)
endif()
# A library built with sanitizers needs them in the program that links it.
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
endif()
set(common -DBUILD_SHARED_LIBS=${shared} "-DCMAKE_CXX_FLAGS=${flags}")

# Configures, builds and runs the outside project, then checks what the
# library might have changed in it: the build type it did not set, and the
# test tools it must not have looked up.
function(build_outside way)
  set(build ${WORK_DIR}/${way})
  run(${CMAKE_COMMAND} -S ${outside} -B ${build} -DQUORANE_FROM=${way} ${common} ${ARGN})
  file(STRINGS ${build}/CMakeCache.txt build_type REGEX "^CMAKE_BUILD_TYPE:")
  if(NOT build_type MATCHES "^CMAKE_BUILD_TYPE:[A-Z]+=$")
    message(FATAL_ERROR "${way}: the build type was changed to ${build_type}")
  endif()
  file(STRINGS ${build}/CMakeCache.txt looked_up REGEX "^(GTest|GMock|benchmark|CURL)_")
  if(looked_up)
    message(FATAL_ERROR "${way}: test tools were looked up: ${looked_up}")
  endif()
  run(${CMAKE_COMMAND} --build ${build} -j 2)
  expect_output("consumer: ok" ${build}/consumer)
  expect_output("json_test: ok" ${build}/json_test)
  message(STATUS "${KIND} library through ${way}: built and ran")
endfunction()

if("package" IN_LIST WAYS)
  set(prefix ${WORK_DIR}/prefix)
  if(KIND STREQUAL BUILD_KIND)
    run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
  else()
    # Only the library and its install rules.
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/library ${common}
      -DQUORANE_BUILD_TESTS=OFF -DQUORANE_BUILD_BENCH=OFF -DQUORANE_BUILD_UPDATER=OFF
      -DCMAKE_BUILD_TYPE=Release)
    run(${CMAKE_COMMAND} --build ${WORK_DIR}/library -j 2)
    run(${CMAKE_COMMAND} --install ${WORK_DIR}/library --prefix ${prefix})
  endif()
  file(GLOB_RECURSE libraries RELATIVE ${prefix} ${prefix}/lib*/libquorane-support.*)
  if(shared)
    set(wanted "\\.so\\.")
  else()
    set(wanted "\\.a$")
  endif()
  if(NOT libraries MATCHES "${wanted}")
    message(FATAL_ERROR "no ${KIND} library in the install: ${libraries}")
  endif()
  build_outside(package -DCMAKE_PREFIX_PATH=${prefix})

  # Each installed header compiles on its own, under strict warnings.
  file(GLOB_RECURSE headers RELATIVE ${prefix}/include ${prefix}/include/quorane/*.h)
  foreach(header ${headers})
    file(WRITE ${WORK_DIR}/alone.cpp "#include <${header}>\n")
    run(c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I${prefix}/include
      ${WORK_DIR}/alone.cpp)
  endforeach()
  list(LENGTH headers count)
  if(count LESS 5)
    message(FATAL_ERROR "installed headers: ${headers}")
  endif()
  message(STATUS "${KIND} library: ${count} installed headers compile alone")

  # The same program through pkg-config: --static for a static library, so
  # that its private dependencies come along.
  set(static_flag "")
  if(NOT shared)
    set(static_flag --static)
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig
            pkg-config ${static_flag} --cflags --libs quorane-support
    OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know quorane-support")
  endif()
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  separate_arguments(flag_list UNIX_COMMAND "${flags}")
  run(c++ -std=c++17 ${flag_list} -I${outside}/include ${outside}/outside_main.cpp ${pc_flags}
    -o ${WORK_DIR}/consumer-pc)
  expect_output("consumer: ok" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib
    ${WORK_DIR}/consumer-pc)
  message(STATUS "${KIND} library through pkg-config: built and ran")

  # The examples, as a user would build them against the install.
  set(examples ${WORK_DIR}/examples)
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${examples} -DCMAKE_PREFIX_PATH=${prefix}
    "-DCMAKE_CXX_FLAGS=${flags}")
  run(${CMAKE_COMMAND} --build ${examples} -j 2)
  file(WRITE ${WORK_DIR}/sample.pdf "%PDF-1.4\n")
  expect_output("\n255044462d312e34" ${examples}/paths_and_signature ${WORK_DIR}/sample.pdf)
  expect_output("^a%20b%26c\na b&c\n$" ${examples}/url_coding "a b&c")
  expect_output("name=agent" ${examples}/json_values)
  message(STATUS "${KIND} library: the examples built and ran")
endif()

if("subdirectory" IN_LIST WAYS)
  build_outside(subdirectory -DQUORANE_SOURCE=${SOURCE_DIR})
endif()

if("fetch" IN_LIST WAYS)
  # A repository of the source tree as it is on disk, committed files and new
  # ones alike, so that the test sees the change under test.
  set(origin ${WORK_DIR}/origin)
  file(MAKE_DIRECTORY ${origin})
  run(sh -c "git ls-files -co --exclude-standard -z | tar --null -T - -cf - | tar -xf - -C '${origin}'"
    WORKING_DIRECTORY ${SOURCE_DIR})
  set(git git -C ${origin} -c user.name=test -c user.email=test@localhost
    -c init.defaultBranch=main)
  run(${git} init -q)
  run(${git} add -A)
  run(${git} commit -q -m "the source tree under test")
  build_outside(fetch -DQUORANE_SOURCE=file://${origin})
endif()

# Install layout, Debian package and the packaging tests of linecast.
# Included by the top-level CMakeLists.txt once the `linecast` target exists.

include(GNUInstallDirs)

get_filename_component(LINECAST_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

if(NOT TARGET linecast)
  message(FATAL_ERROR "cmake/install.cmake must be included after add_executable(linecast ...)")
endif()
if(NOT PROJECT_VERSION)
  message(FATAL_ERROR "project() needs a VERSION: the package version is taken from it")
endif()

# --- Install rules -------------------------------------------------------------------------

install(TARGETS linecast RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian policy wants man pages compressed; -n leaves out name and time stamp so that the
# package is reproducible.
set(LINECAST_MANPAGE_SOURCE ${LINECAST_SOURCE_ROOT}/doc/linecast.1)
find_program(LINECAST_GZIP gzip)
if(LINECAST_GZIP)
  set(LINECAST_MANPAGE ${CMAKE_CURRENT_BINARY_DIR}/man/linecast.1.gz)
  add_custom_command(
    OUTPUT ${LINECAST_MANPAGE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E copy ${LINECAST_MANPAGE_SOURCE}
            ${CMAKE_CURRENT_BINARY_DIR}/man/linecast.1
    COMMAND ${LINECAST_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/man/linecast.1
    DEPENDS ${LINECAST_MANPAGE_SOURCE}
    COMMENT "Compressing the linecast(1) man page"
    VERBATIM)
  add_custom_target(linecast_manpage ALL DEPENDS ${LINECAST_MANPAGE})
else()
  set(LINECAST_MANPAGE ${LINECAST_MANPAGE_SOURCE})
endif()
install(FILES ${LINECAST_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Where bash-completion looks up completions on demand, by command name.
install(FILES ${LINECAST_SOURCE_ROOT}/doc/linecast.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME linecast)

# --- Debian package (cpack -G DEB) ---------------------------------------------------------

set(LINECAST_PACKAGE_MAINTAINER "linecast maintainers <linecast@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "linecast")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${LINECAST_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "publish standard input to an MQTT broker, one message per record")
# Debian wants the long description wrapped; CPack indents each line for the control file.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "linecast reads standard input, cuts it into records at a delimiter byte or at\n"
       "a maximum length, and publishes each record as one MQTT 3.1.1 message to one\n"
       "topic. It suits log tails, serial devices and other streams that should reach\n"
       "an MQTT broker as they come.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LINECAST_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")

find_program(LINECAST_DPKG dpkg)
if(LINECAST_DPKG)
  execute_process(COMMAND ${LINECAST_DPKG} --print-architecture
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

# dpkg-shlibdeps derives exact, versioned dependencies from the linked libraries; CPack also
# needs `file` to find the binaries. Without either, name the runtime libraries by hand.
find_program(LINECAST_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(LINECAST_FILE file)
if(LINECAST_DPKG_SHLIBDEPS AND LINECAST_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3, libc6")
  if(NOT LINECAST_STATIC_CXX_RUNTIME OR LINECAST_SANITIZE)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libstdc++6")
  endif()
endif()

# `make package_source` must not sweep up history or build trees.
set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/" "/bench/out/")

include(CPack)

# --- Packaging tests -----------------------------------------------------------------------

# Registered with the other tests, and only when those are wanted.
if(DEFINED LINECAST_TESTS AND NOT LINECAST_TESTS)
  return()
endif()
enable_testing()

set(LINECAST_PACKAGING_TEST ${LINECAST_SOURCE_ROOT}/tests/packaging_test.sh)
foreach(check IN ITEMS manpage install deb completion)
  add_test(NAME packaging.${check}
           COMMAND bash ${LINECAST_PACKAGING_TEST} ${CMAKE_BINARY_DIR} ${LINECAST_SOURCE_ROOT}
                   ${check})
  # 77: a tool the check needs is missing on a developer machine (under CI that fails instead).
  set_tests_properties(packaging.${check} PROPERTIES LABELS packaging TIMEOUT 120
                                                     SKIP_RETURN_CODE 77)
endforeach()
# Both run the install script, which rewrites install_manifest.txt in the build tree.
set_tests_properties(packaging.install packaging.deb PROPERTIES RESOURCE_LOCK linecast_install)
set_tests_properties(packaging.deb PROPERTIES TIMEOUT 300)

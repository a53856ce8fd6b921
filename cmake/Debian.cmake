# The Debian packages (cpack -G DEB in the build folder):
#   reposa             the programs, their manual pages and units, the desktop
#                      entry and icon (component Programs)
#   libkeztocsock-dev  headers, static libraries, CMake and pkg-config files
#                      (component Development)
# Each carries /usr/share/doc/<package>/copyright and changelog.gz, made here
# from LICENSE and CHANGELOG.md; a plain install carries those two files as
# they are instead (component Documentation).
set(reposa_contact "Reposa developers <dev@reposa.invalid>")
set(reposa_deb_dir ${PROJECT_BINARY_DIR}/debian)

# The machine-readable copyright file: LICENSE's permission text, indented,
# with "." for its empty lines.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE reposa_license_text)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/LICENSE)
string(FIND "${reposa_license_text}" "Permission is hereby granted" start)
if(start LESS 0)
  message(FATAL_ERROR "LICENSE is no longer the MIT license: update ${CMAKE_CURRENT_LIST_FILE}")
endif()
string(SUBSTRING "${reposa_license_text}" ${start} -1 reposa_license_text)
string(STRIP "${reposa_license_text}" reposa_license_text)
string(REPLACE "\n\n" "\n.\n" reposa_license_text "${reposa_license_text}")
string(REPLACE "\n" "\n " reposa_license_text " ${reposa_license_text}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${reposa_deb_dir}/copyright @ONLY)

add_custom_command(
  OUTPUT ${reposa_deb_dir}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/CHANGELOG.md
          -DOUTPUT=${reposa_deb_dir}/changelog.gz -DSOURCE=reposa -DVERSION=${PROJECT_VERSION}
          -DMAINTAINER=${reposa_contact} -P ${CMAKE_CURRENT_LIST_DIR}/DebianChangelog.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${CMAKE_CURRENT_LIST_DIR}/DebianChangelog.cmake
  COMMENT "Writing the packages' changelog" VERBATIM)
add_custom_target(reposa_debian_changelog ALL DEPENDS ${reposa_deb_dir}/changelog.gz)

# Only a package asks for these components; a plain install leaves them out.
set(reposa_deb_docs ${reposa_deb_dir}/copyright ${reposa_deb_dir}/changelog.gz)
install(FILES ${reposa_deb_docs} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/reposa
        COMPONENT ProgramsDebian EXCLUDE_FROM_ALL)
install(FILES ${reposa_deb_docs} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libkeztocsock-dev
        COMPONENT DevelopmentDebian EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/reposa
        COMPONENT Programs)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/reposa COMPONENT Documentation)

set(CPACK_PACKAGE_NAME reposa)
set(CPACK_PACKAGE_VENDOR "The Reposa developers")
set(CPACK_PACKAGE_CONTACT "${reposa_contact}")
# Each package's synopsis is the first line of its own description below, so
# no common one goes in front of it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Programs ProgramsDebian Development DevelopmentDebian)
set(CPACK_COMPONENT_PROGRAMS_GROUP reposa)
set(CPACK_COMPONENT_PROGRAMSDEBIAN_GROUP reposa)
set(CPACK_COMPONENT_DEVELOPMENT_GROUP dev)
set(CPACK_COMPONENT_DEVELOPMENTDEBIAN_GROUP dev)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE reposa)
# Dependencies on the system's shared libraries, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_REPOSA_PACKAGE_NAME reposa)
set(CPACK_DEBIAN_REPOSA_PACKAGE_SECTION net)
set(CPACK_DEBIAN_REPOSA_DESCRIPTION
    "keeps one instant-messaging account present
Reposa signs one account on to an instant-messaging service that speaks the
TOC2 protocol and keeps it present, optionally sitting in one chat room.

The window reposa hides in the notification area. The console host
reposa-console takes one JSON call and gives one JSON event a line, for
scripts, and comes with systemd user units that keep an account present across
reboots. reposa-server is a small TOC2 server for one machine and a few
friends.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkeztocsock-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The posix TLS socket loads OpenSSL 3 when first used; the Qt socket (CMake
# component qt) needs Qt's development files.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS libssl3)
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS qt6-base-dev)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "TOC2 instant-messaging session control for C++ (development files)
KezTOCSock signs on to a TOC2 service, answers its keep-alives, raises every
server message as a typed event and has one method per client command. It
does no I/O of its own: a host hands it a socket, or drives its session core
with bytes.

This package holds the headers, the static libraries of the control, its epoll
loop, its TCP and TLS sockets and its Qt sockets, and the CMake package
KezTOCSock and pkg-config files to find them.")
include(CPack)

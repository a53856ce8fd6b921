# How Reposa is found by others (the CMake package KezTOCSock and pkg-config
# files) and how it is packed (cpack -G DEB).
include(CMakePackageConfigHelpers)
set(reposa_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/KezTOCSock)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KezTOCSockConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KezTOCSockConfig.cmake INSTALL_DESTINATION ${reposa_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KezTOCSockConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KezTOCSockConfig.cmake
              ${PROJECT_BINARY_DIR}/KezTOCSockConfigVersion.cmake
        DESTINATION ${reposa_cmake_dir} COMPONENT Development)

# pkg-config files find the prefix from where they lie, so a package installed
# under another prefix (the .deb under /usr) still points at its own files.
file(RELATIVE_PATH reposa_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" reposa_pc_to_prefix "${reposa_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/keztocsock.pc.in ${PROJECT_BINARY_DIR}/keztocsock.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/keztocsock.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
configure_file(${CMAKE_CURRENT_LIST_DIR}/keztocsock-host.pc.in ${PROJECT_BINARY_DIR}/keztocsock-host.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/keztocsock-host.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
if(TARGET kez_posix)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/keztocsock-posix.pc.in
                 ${PROJECT_BINARY_DIR}/keztocsock-posix.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/keztocsock-posix.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
endif()

if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()
set(CPACK_PACKAGE_NAME reposa)
set(CPACK_PACKAGE_VENDOR "Reposa")
set(CPACK_PACKAGE_CONTACT "Reposa developers <dev@reposa.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Keeps one account present on a TOC2 instant-messaging service.\n The window reposa, the console host reposa-console and the local server\n reposa-server, with the KezTOCSock control library, its headers and its\n CMake and pkg-config files.")
set(CPACK_STRIP_FILES ON)
include(CPack)

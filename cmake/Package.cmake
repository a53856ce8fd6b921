# How Reposa is found by others: the CMake package KezTOCSock and the
# pkg-config files, all in the Development component (every library component
# installs its files there). Reposa is under the MIT license (LICENSE).
include(CMakePackageConfigHelpers)
# "2026 The Reposa developers": the copyright line of LICENSE, for the files
# that name it.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE reposa_copyright REGEX "^Copyright ")
string(REGEX REPLACE "^Copyright (\\(c\\) )?" "" reposa_copyright "${reposa_copyright}")
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

if(PROJECT_IS_TOP_LEVEL)
  include(${CMAKE_CURRENT_LIST_DIR}/Debian.cmake)
endif()

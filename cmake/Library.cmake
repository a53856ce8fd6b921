# The libraries of the installed package beside the control: Reposa::NAME,
# public headers under the folder's include/, and one export set each, which
# the package's config file loads per component.
function(reposa_public_library target export_name)
  add_library(Reposa::${export_name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${export_name})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${target} PUBLIC cxx_std_20)
  reposa_target_settings(${target})
endfunction()

# Installs `export_set` (the targets after it) with the folder's headers.
function(reposa_install_component export_set)
  install(TARGETS ${ARGN} EXPORT ${export_set}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
  install(DIRECTORY include/kez DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
  install(EXPORT ${export_set} NAMESPACE Reposa::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/KezTOCSock COMPONENT Development)
endfunction()

# korvan_windows_resources(<target> <description>): a version resource (FileVersion and
# ProductVersion from project(VERSION), ProductName, the program's FileDescription) and an
# application manifest (asInvoker, the supported Windows versions) in a Windows program. Nothing
# on other systems.
set(KORVAN_PRODUCT_NAME "sign-cli")

function(korvan_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  set(KORVAN_RC_NAME ${target})
  set(KORVAN_RC_DESCRIPTION ${description})
  set(KORVAN_RC_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.manifest.in ${KORVAN_RC_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  # windres does not see the manifest as a dependency of the resource.
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${target}.rc PROPERTIES
                              OBJECT_DEPENDS ${KORVAN_RC_MANIFEST})
endfunction()

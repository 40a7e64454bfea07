# varrowmere_add_version_resource(<program> DESCRIPTION <text>)
#
# Gives a program a version resource written from the project's version: file and
# product version, its description and the product's name. A change of
# project(... VERSION ...) reaches it at the next build, with nothing else to edit.
set(VARROWMERE_VERSION_RESOURCE_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version_resource.rc.in)

function(varrowmere_add_version_resource program)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "" ${ARGN})
  if(NOT ARG_DESCRIPTION)
    message(FATAL_ERROR "varrowmere_add_version_resource(${program}) needs a DESCRIPTION")
  endif()
  # The resource's binary versions have four parts; what project() leaves out is 0.
  set(version_numbers "")
  foreach(part IN ITEMS MAJOR MINOR PATCH TWEAK)
    set(number "${PROJECT_VERSION_${part}}")
    if(number STREQUAL "")
      set(number 0)
    endif()
    list(APPEND version_numbers ${number})
  endforeach()
  list(JOIN version_numbers "," version_numbers)

  # configure_file fills in the version and names; file(GENERATE) then the program's
  # file name, which only the generator knows.
  set(resource ${CMAKE_CURRENT_BINARY_DIR}/${program}_version.rc)
  configure_file(${VARROWMERE_VERSION_RESOURCE_TEMPLATE} ${resource}.in @ONLY)
  file(GENERATE OUTPUT ${resource} INPUT ${resource}.in)
  target_sources(${program} PRIVATE ${resource})
endfunction()

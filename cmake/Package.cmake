# What `cmake --install` puts in a prefix, and the release zip CPack makes of the same:
#   bin/                       the two programs
#   lib/                       the static library, and the process-wide objects with the
#                              event message table
#   include/varrowmere/<subsystem>/   every header of every subsystem folder
#   lib/cmake/varrowmere/      the CMake package: config, version and targets files
#   README.md
# A service finds it with find_package(varrowmere CONFIG REQUIRED) and links
# varrowmere::process (which brings varrowmere::varrowmere).

set(VARROWMERE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/varrowmere)

install(TARGETS varrowmere varrowmere_process varrowmere_options
  EXPORT varrowmere-targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  OBJECTS DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS varrowmere-perf varrowmere-logger
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The headers go by folder, not by a list: a header added to a subsystem, or a new
# subsystem folder, is installed without a change here.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/varrowmere
  FILES_MATCHING PATTERN "*.h")

install(EXPORT varrowmere-targets
  NAMESPACE varrowmere::
  DESTINATION ${VARROWMERE_PACKAGE_DIR})

include(CMakePackageConfigHelpers)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/varrowmere-config.cmake.in
  ${PROJECT_BINARY_DIR}/package/varrowmere-config.cmake
  INSTALL_DESTINATION ${VARROWMERE_PACKAGE_DIR})
# The version file also refuses a caller of the other architecture (its pointer size).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/varrowmere-config-version.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/package/varrowmere-config.cmake
  ${PROJECT_BINARY_DIR}/package/varrowmere-config-version.cmake
  DESTINATION ${VARROWMERE_PACKAGE_DIR})

# The README at the top, where an operator opening the zip looks first; a license text
# goes beside it once the repository has one.
file(GLOB VARROWMERE_LICENSE_TEXTS LIST_DIRECTORIES false
  ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/LICENSE.* ${PROJECT_SOURCE_DIR}/COPYING)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${VARROWMERE_LICENSE_TEXTS} DESTINATION .)

# `cpack --preset mingw-x64` (or mingw-x86) makes varrowmere-<version>-win64.zip
# (win32.zip) under packages/ of the build folder, from the install rules above.
set(CPACK_PACKAGE_NAME varrowmere)
set(CPACK_PACKAGE_VENDOR "${VARROWMERE_PRODUCT_NAME}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${VARROWMERE_PRODUCT_NAME}: service library and tools")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_SYSTEM_NAME win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

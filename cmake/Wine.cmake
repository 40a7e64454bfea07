# Test programs run under Wine in a prefix of their own inside the build folder, never
# the user's ~/.wine: tests write HKLM keys, event sources and files and must start from
# a known state. The wrapper creates the prefix on first use, so even the test listing
# that CTest asks for before the first test sees a quiet, finished prefix.
#
# The 64-bit loader creates the prefix: with 32-bit Wine installed beside it, that gives a
# WoW64 prefix, which runs both architectures (a prefix made by one loader alone can fail
# to start the other's programs later). Programs run under the loader of their own
# architecture.
find_program(WINE64_LOADER NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(WINE64_LOADER NAMES wine64 wine REQUIRED)
find_program(WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(WINESERVER NAMES wineserver REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  find_program(WINE32_LOADER NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
  set(VARROWMERE_WINE_LOADER ${WINE32_LOADER})
else()
  set(VARROWMERE_WINE_LOADER ${WINE64_LOADER})
endif()

set(VARROWMERE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

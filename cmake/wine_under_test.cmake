# Chooses, once per configure of the build tree, which Windows build the tests
# run under Wine, by asking the host: where Wine's 32-bit loader starts, the
# shipped 32-bit program; where it cannot (kernels without IA-32 emulation,
# Wine without its 32-bit part), the x86-64 build under Wine's 64-bit loader.
# TAVIK_WINE_ARCH=x86_64 (or i686) in the environment forces the choice.
#
# Our own programs are never used to decide: a 32-bit program of ours that
# fails under Wine must fail its tests, not switch the suite to the other build.
#
# Sets WINDOWS_PROGRAM and its helpers WINDOWS_REGDUMP, WINDOWS_REGCASE,
# WINDOWS_CP1252_BEST_FIT and WINDOWS_CURRENT_DIRECTORY (the build under
# test), and WINE_COMMAND, a script in the build tree that runs a Windows
# program (or Wine's own wineboot and reg) with the chosen loader. Wine's wineserver
# script serves both loaders, so it is called as it is.

find_program(WINE32_LOADER wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(WINE64_LOADER wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT WINE64_LOADER)
  find_program(WINE64_LOADER wine64)
endif()

set(forced "$ENV{TAVIK_WINE_ARCH}")
if(forced STREQUAL "x86_64" OR forced STREQUAL "i686")
  set(WINE_ARCH ${forced})
  set(why "forced by TAVIK_WINE_ARCH=${forced}")
elseif(NOT forced STREQUAL "")
  message(FATAL_ERROR "TAVIK_WINE_ARCH is '${forced}'; it takes x86_64 or i686")
elseif(NOT WINE32_LOADER)
  set(WINE_ARCH x86_64)
  set(why "Wine's 32-bit loader (/usr/lib/wine/wine, package wine32:i386) is not installed")
else()
  execute_process(COMMAND ${WINE32_LOADER} --version
    RESULT_VARIABLE wine32_status OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
  if(wine32_status EQUAL 0)
    set(WINE_ARCH i686)
    set(why "this host runs 32-bit programs")
  else()
    set(WINE_ARCH x86_64)
    set(why "this host runs no 32-bit programs (${WINE32_LOADER} does not start)")
  endif()
endif()

if(WINE_ARCH STREQUAL "i686")
  set(build_dir windows)
  set(WINE_UNDER_TEST_NOTE "Windows program under Wine: the 32-bit build; ${why}")
  set(loader_lines "exec wine \"$@\"")
else()
  set(build_dir windows-x86_64)
  set(WINE_UNDER_TEST_NOTE "Windows program under Wine: the x86-64 build; ${why}")
  if(NOT WINE64_LOADER)
    set(WINE64_LOADER /usr/lib/wine/wine64)
  endif()
  set(loader_lines "export WINELOADER=${WINE64_LOADER}\nexec ${WINE64_LOADER} \"$@\"")
endif()
set(WINDOWS_PROGRAM ${CMAKE_BINARY_DIR}/${build_dir}/tavikmigrate.exe)
set(WINDOWS_REGDUMP ${CMAKE_BINARY_DIR}/${build_dir}/regdump.exe)
set(WINDOWS_REGCASE ${CMAKE_BINARY_DIR}/${build_dir}/regcase.exe)
set(WINDOWS_CP1252_BEST_FIT ${CMAKE_BINARY_DIR}/${build_dir}/cp1252_best_fit.exe)
set(WINDOWS_CURRENT_DIRECTORY ${CMAKE_BINARY_DIR}/${build_dir}/current_directory.exe)
set(WINE_COMMAND ${CMAKE_BINARY_DIR}/wine)

file(WRITE ${WINE_COMMAND}
  "#!/bin/sh\n# ${WINE_UNDER_TEST_NOTE}.\n# Written by cmake/wine_under_test.cmake at configure time.\n${loader_lines}\n")
file(CHMOD ${WINE_COMMAND} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
# For the scripts (test command, benchmark): the note, then the program.
file(WRITE ${CMAKE_BINARY_DIR}/wine-under-test.txt "${WINE_UNDER_TEST_NOTE}\n${WINDOWS_PROGRAM}\n")
message(STATUS "${WINE_UNDER_TEST_NOTE}")

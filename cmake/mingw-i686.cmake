# Cross-compiles the 32-bit Windows console program, the one that ships.
set(MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

# Cross-compiles the x86-64 Windows console program. It is not shipped: the
# tests run it under Wine's 64-bit loader on hosts that run no 32-bit code,
# so that the Win32 code path is tested everywhere.
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

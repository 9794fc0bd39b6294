# Cross-compiling for 64-bit Windows.
set(DUPLIVO_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)

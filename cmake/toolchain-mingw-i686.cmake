# Cross-compiling for 32-bit Windows.
set(DUPLIVO_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)

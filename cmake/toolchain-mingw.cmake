# Cross-compiling for Windows with Debian's MinGW-w64 (posix threads), for the architecture the
# including toolchain file sets in DUPLIVO_MINGW_ARCH. Programs built here run under Wine
# (tools/windows/run-test.sh starts each test there).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${DUPLIVO_MINGW_ARCH})

set(CMAKE_C_COMPILER ${DUPLIVO_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${DUPLIVO_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${DUPLIVO_MINGW_ARCH}-w64-mingw32-windres)

# The kit folders (Qt, SQLite) are added to CMAKE_FIND_ROOT_PATH by whoever configures.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${DUPLIVO_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

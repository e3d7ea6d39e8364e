# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ALLOTRA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ALLOTRA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ALLOTRA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ALLOTRA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ALLOTRA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs carry the compiler's runtime (libgcc, libstdc++, winpthread)
# inside them, so that they run without MinGW's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

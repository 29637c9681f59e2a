# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix).
# usage: cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(STBLOAD_MINGW_TRIPLET x86_64-w64-mingw32)

# Debian installs the compilers as <triplet>-g++-posix (and -win32), with the
# plain name pointing at one of them through alternatives when it is set up.
find_program(STBLOAD_MINGW_CXX NAMES ${STBLOAD_MINGW_TRIPLET}-g++-posix ${STBLOAD_MINGW_TRIPLET}-g++ REQUIRED)
find_program(STBLOAD_MINGW_CC NAMES ${STBLOAD_MINGW_TRIPLET}-gcc-posix ${STBLOAD_MINGW_TRIPLET}-gcc)
find_program(STBLOAD_MINGW_WINDRES NAMES ${STBLOAD_MINGW_TRIPLET}-windres)

set(CMAKE_CXX_COMPILER ${STBLOAD_MINGW_CXX})
if(STBLOAD_MINGW_CC)
  set(CMAKE_C_COMPILER ${STBLOAD_MINGW_CC})
endif()
if(STBLOAD_MINGW_WINDRES)
  set(CMAKE_RC_COMPILER ${STBLOAD_MINGW_WINDRES})
endif()

# Headers and libraries come from the Windows sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${STBLOAD_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Cross build of Trelvo.dll for 64-bit Windows with the mingw-w64 x86_64
# compilers (Debian: g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-win64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
# The posix thread flavour is required, as for the 32-bit build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TRELVO_MINGW_TRIPLET x86_64-w64-mingw32 CACHE STRING "Target triplet of the mingw-w64 tools")

find_program(TRELVO_MINGW_CC NAMES ${TRELVO_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(TRELVO_MINGW_CXX NAMES ${TRELVO_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(TRELVO_MINGW_RC NAMES ${TRELVO_MINGW_TRIPLET}-windres REQUIRED)
set(CMAKE_C_COMPILER ${TRELVO_MINGW_CC})
set(CMAKE_CXX_COMPILER ${TRELVO_MINGW_CXX})
set(CMAKE_RC_COMPILER ${TRELVO_MINGW_RC})

set(CMAKE_FIND_ROOT_PATH /usr/${TRELVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs of the cross build run under 64-bit Wine when it is installed.
# Debian keeps the 64-bit loader out of PATH (/usr/bin/wine prefers the 32-bit
# one); TRELVO_WINE64 names another one.
find_program(TRELVO_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
if(NOT TRELVO_WINE64)
  find_program(TRELVO_WINE64 NAMES wine64)
endif()
if(TRELVO_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TRELVO_WINE64})
endif()

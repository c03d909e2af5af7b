# The part of the mingw-w64 cross builds that both widths share: the posix
# flavour of the compilers named by TRELVO_MINGW_TRIPLET and a search confined
# to the target's root. Included by toolchain-mingw32.cmake and
# toolchain-mingw64.cmake after they set the processor and the triplet.
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

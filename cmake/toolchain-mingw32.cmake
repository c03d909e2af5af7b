# Cross build of Trelvo.dll for 32-bit Windows with the mingw-w64 i686
# compilers (Debian: g++-mingw-w64-i686-posix):
#   cmake -S . -B build-win32 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
# The posix thread flavour is required: the library uses std::mutex and
# std::atomic, which the win32 flavour of GCC 12 does not fully provide.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TRELVO_MINGW_TRIPLET i686-w64-mingw32 CACHE STRING "Target triplet of the mingw-w64 tools")

include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

# Test programs of the cross build run under Wine when one is installed.
find_program(TRELVO_WINE NAMES wine)
if(TRELVO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TRELVO_WINE})
endif()

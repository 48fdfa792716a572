# Cross build for 32-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-i686-posix). The posix flavour gives std::thread and friends.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KORVEL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

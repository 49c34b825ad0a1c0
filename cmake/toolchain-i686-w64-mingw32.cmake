# Cross build of the i386 driver image with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR X86)
set(VODREK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)

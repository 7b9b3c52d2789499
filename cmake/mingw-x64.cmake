set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KZ_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Only 64-bit Windows programs run on this machine's Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

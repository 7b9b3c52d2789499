set(CMAKE_SYSTEM_PROCESSOR i686)
set(KZ_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# wine64 runs 32-bit programs too, in the same (WoW64) prefix, once wine32 is
# installed; the tests check first that 32-bit programs can run at all.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

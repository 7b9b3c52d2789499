set(CMAKE_SYSTEM_PROCESSOR i686)
set(KZ_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# No emulator: 32-bit programs cannot run here, so this build is only inspected.

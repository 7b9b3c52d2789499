# Cross-compiling for Windows with Debian's MinGW-w64. The -posix compilers
# are used because GoogleTest needs std::mutex, which the -win32 ones lack.
# Included by the per-architecture toolchain files, which set KZ_MINGW_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KZ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KZ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KZ_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KZ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# What both toolchain files share: Debian's MinGW-w64 for the target that
# SPI_MINGW_TARGET names (i686-w64-mingw32 or x86_64-w64-mingw32). The
# -posix compilers build the programs, the library and the tests, because
# GoogleTest needs std::mutex, which the win32-thread variants lack.
# Plug-in DLLs are built with the win32-thread variants instead
# (add_spi_plugin in SpiPlugins.cmake, through win32-threads.sh).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${SPI_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SPI_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${SPI_MINGW_TARGET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SPI_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

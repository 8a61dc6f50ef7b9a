# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 and runs the
# results under Wine. The -posix compilers build the programs, the library
# and the tests, because GoogleTest needs std::mutex, which the win32-thread
# variants lack. Plug-in DLLs are built with the win32-thread variants
# instead (add_spi_plugin in SpiPlugins.cmake, through win32-threads.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

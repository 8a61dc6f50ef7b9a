# Cross-compiles for 64-bit Windows (x64) with Debian's MinGW-w64 and runs
# the results under Wine. The -posix compilers build the programs, the
# library and the tests, because GoogleTest needs std::mutex, which the
# win32-thread variants lack. Plug-in DLLs are built with the win32-thread
# variants instead (add_spi_plugin in SpiPlugins.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Cross-compiles for 64-bit Windows (x64) with Debian's MinGW-w64 and runs
# the results under Wine (see mingw-common.cmake for which compiler builds
# what).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(SPI_MINGW_TARGET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

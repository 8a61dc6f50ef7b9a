# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 and runs the
# results under Wine (see mingw-common.cmake for which compiler builds what).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(SPI_MINGW_TARGET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# add_spi_plugin(<target> SOURCES <files...> [DEFINITIONS <defs...>]
#                [LIBRARIES <targets...>])
# Builds a plug-in DLL named <target>.spi (<target>.sph in the x64 build)
# in build/bin with undecorated exports, with the win32-thread compiler
# (see win32-threads.sh: a DLL with winpthreads in it cannot be loaded more
# than about a thousand times in one process). It sees the plug-in API's
# declarations (spi_api) and what LIBRARIES bring, never the host
# library's headers.
set(SPI_PLUGIN_LAUNCHER ${CMAKE_CURRENT_LIST_DIR}/win32-threads.sh)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(SPI_PLUGIN_SUFFIX .sph)
else()
  set(SPI_PLUGIN_SUFFIX .spi)
endif()
function(add_spi_plugin target)
  cmake_parse_arguments(ARG "KEEP_RUNTIME_LEAKS" "" "SOURCES;DEFINITIONS;LIBRARIES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ${SPI_PLUGIN_SUFFIX}
                        C_COMPILER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        CXX_COMPILER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        C_LINKER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        CXX_LINKER_LAUNCHER ${SPI_PLUGIN_LAUNCHER})
  # KEEP_RUNTIME_LEAKS: built as elsewhere, without the runtime release.
  if(NOT ARG_KEEP_RUNTIME_LEAKS)
    spi_link_runtime_release(${target})
  endif()
  target_compile_definitions(${target} PRIVATE ${ARG_DEFINITIONS})
  # x64 has one calling convention and undecorated names already.
  if(SPI_PLUGIN_SUFFIX STREQUAL ".spi")
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  endif()
  target_link_libraries(${target} PRIVATE spi_api ${ARG_LIBRARIES})
endfunction()

# spi_instrument_coverage(<target>): a plug-in built for spicheck's fuzzing
# campaign: GCC's edge and comparison tracing on its sources; its sources
# must include ${SPICOV_SOURCE}, the runtime, whose functions stay
# uninstrumented by their own attribute.
set(SPICOV_SOURCE ${CMAKE_CURRENT_LIST_DIR}/../spicov/spicov.c)
function(spi_instrument_coverage target)
  target_compile_options(${target} PRIVATE -fsanitize-coverage=trace-pc
                         -fsanitize-coverage=trace-cmp)
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../spicov)
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/SpiRuntimeRelease.cmake)

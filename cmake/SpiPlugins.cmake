# add_spi_plugin(<target> SOURCES <files...> [DEFINITIONS <defs...>])
# Builds a plug-in DLL named <target>.spi in build/bin with undecorated
# stdcall exports, with the win32-thread compiler (see win32-threads.sh:
# a DLL with winpthreads in it cannot be loaded more than about a thousand
# times in one process).
set(SPI_PLUGIN_LAUNCHER ${CMAKE_CURRENT_LIST_DIR}/win32-threads.sh)
function(add_spi_plugin target)
  cmake_parse_arguments(ARG "KEEP_RUNTIME_LEAKS" "" "SOURCES;DEFINITIONS;LIBRARIES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".spi"
                        C_COMPILER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        CXX_COMPILER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        C_LINKER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        CXX_LINKER_LAUNCHER ${SPI_PLUGIN_LAUNCHER})
  # KEEP_RUNTIME_LEAKS: built as elsewhere, without the runtime release.
  if(NOT ARG_KEEP_RUNTIME_LEAKS)
    spi_link_runtime_release(${target})
  endif()
  target_compile_definitions(${target} PRIVATE ${ARG_DEFINITIONS})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
  if(ARG_LIBRARIES)
    target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES})
  endif()
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/plugin)
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/SpiRuntimeRelease.cmake)

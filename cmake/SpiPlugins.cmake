# add_spi_plugin(<target> SOURCES <files...> [DEFINITIONS <defs...>]
#                [LIBRARIES <targets...>])
# Builds a plug-in DLL named <target>.spi in build/bin with undecorated
# stdcall exports, with the win32-thread compiler (see win32-threads.sh:
# a DLL with winpthreads in it cannot be loaded more than about a thousand
# times in one process). It sees the plug-in API's declarations (spi_api)
# and what LIBRARIES bring, never the host library's headers.
set(SPI_PLUGIN_LAUNCHER ${CMAKE_CURRENT_LIST_DIR}/win32-threads.sh)
function(add_spi_plugin target)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEFINITIONS;LIBRARIES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".spi"
                        C_COMPILER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        CXX_COMPILER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        C_LINKER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        CXX_LINKER_LAUNCHER ${SPI_PLUGIN_LAUNCHER})
  target_compile_definitions(${target} PRIVATE ${ARG_DEFINITIONS})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
  target_link_libraries(${target} PRIVATE spi_api ${ARG_LIBRARIES})
endfunction()

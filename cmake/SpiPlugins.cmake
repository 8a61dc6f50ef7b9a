# add_spi_plugin(<target> SOURCES <files...> [DEFINITIONS <defs...>]
#                [LIBRARIES <libs...>] [KEEP_RUNTIME_LEAKS])
# Builds a plug-in DLL named <target>.spi in build/bin with undecorated
# stdcall exports, with the win32-thread compiler (see win32-threads.sh:
# a DLL with winpthreads in it cannot be loaded more than about a thousand
# times in one process). Every plug-in links plugin/api/runtime_release.cpp,
# which gives back the semaphores and the TLS slot the GCC runtime takes
# while the DLL is loaded; KEEP_RUNTIME_LEAKS builds one without it, as a plug-in built
# elsewhere with this toolchain would be.
set(SPI_PLUGIN_LAUNCHER ${CMAKE_CURRENT_LIST_DIR}/win32-threads.sh)
set(SPI_RUNTIME_RELEASE_SOURCE ${CMAKE_CURRENT_LIST_DIR}/../plugin/api/runtime_release.cpp)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SPI_RUNTIME_RELEASE_LINK_OPTIONS
      -Wl,--wrap=__register_frame_info -Wl,--wrap=__deregister_frame_info
      -Wl,--wrap=_imp__CreateSemaphoreW@16 -Wl,--wrap=_imp__TlsAlloc@0
      -Wl,--wrap=__mingwthr_key_dtor)
else()
  set(SPI_RUNTIME_RELEASE_LINK_OPTIONS
      -Wl,--wrap=__imp_CreateSemaphoreW -Wl,--wrap=__imp_TlsAlloc
      -Wl,--wrap=__mingwthr_key_dtor)
endif()
function(add_spi_plugin target)
  cmake_parse_arguments(ARG "KEEP_RUNTIME_LEAKS" "" "SOURCES;DEFINITIONS;LIBRARIES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  if(NOT ARG_KEEP_RUNTIME_LEAKS)
    if(NOT TARGET spi_runtime_release)
      add_library(spi_runtime_release OBJECT ${SPI_RUNTIME_RELEASE_SOURCE})
      set_target_properties(spi_runtime_release PROPERTIES CXX_COMPILER_LAUNCHER ${SPI_PLUGIN_LAUNCHER})
    endif()
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:spi_runtime_release>)
    target_link_options(${target} PRIVATE ${SPI_RUNTIME_RELEASE_LINK_OPTIONS})
  endif()
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".spi"
                        C_COMPILER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        CXX_COMPILER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        C_LINKER_LAUNCHER ${SPI_PLUGIN_LAUNCHER}
                        CXX_LINKER_LAUNCHER ${SPI_PLUGIN_LAUNCHER})
  target_compile_definitions(${target} PRIVATE ${ARG_DEFINITIONS})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
  if(ARG_LIBRARIES)
    target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES})
  endif()
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/plugin)
endfunction()

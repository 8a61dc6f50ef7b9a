# spi_link_runtime_release(<target>): links plugin/api/runtime_release.cpp
# into a plug-in DLL, with the linker options it needs. It gives back, when
# the DLL is released, what the statically linked GCC runtime takes while
# the DLL is loaded and otherwise never returns: the semaphores of the
# unwinder's frame list and of emulated TLS, emulated TLS's slot and
# libstdc++'s emergency exception pool. add_spi_plugin calls it for every
# plug-in unless it is given KEEP_RUNTIME_LEAKS.
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

function(spi_link_runtime_release target)
  if(NOT TARGET spi_runtime_release)
    # Compiled once, by the same win32-thread compiler as the plug-ins.
    add_library(spi_runtime_release OBJECT ${SPI_RUNTIME_RELEASE_SOURCE})
    set_target_properties(spi_runtime_release PROPERTIES
                          CXX_COMPILER_LAUNCHER ${SPI_PLUGIN_LAUNCHER})
  endif()
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:spi_runtime_release>)
  target_link_options(${target} PRIVATE ${SPI_RUNTIME_RELEASE_LINK_OPTIONS})
endfunction()

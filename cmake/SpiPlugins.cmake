# add_spi_plugin(<target> SOURCES <files...> [DEFINITIONS <defs...>])
# Builds a plug-in DLL named <target>.spi in build/bin with undecorated
# stdcall exports.
function(add_spi_plugin target)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEFINITIONS;LIBRARIES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".spi")
  target_compile_definitions(${target} PRIVATE ${ARG_DEFINITIONS})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
  if(ARG_LIBRARIES)
    target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES})
  endif()
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/plugin)
endfunction()

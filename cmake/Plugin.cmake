# One plug-in module: exports VSTPluginMain and main, nothing else.
set(TOVIK_PLUGIN_DIR ${CMAKE_BINARY_DIR}/plugins)
function(tovik_add_plugin name relay)
  add_library(${name} SHARED ${CMAKE_SOURCE_DIR}/src/frame/PluginMain.cpp)
  target_link_libraries(${name} PRIVATE ${relay})
  tovik_warnings(${name})
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name}
                        LIBRARY_OUTPUT_DIRECTORY ${TOVIK_PLUGIN_DIR}
                        RUNTIME_OUTPUT_DIRECTORY ${TOVIK_PLUGIN_DIR})
  if(WIN32)
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src/frame/exports.def)
    if(EXISTS ${CMAKE_SOURCE_DIR}/resources/${name}.rc)
      target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/resources/${name}.rc)
    endif()
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at)
  else()
    # "main" is a second name of VSTPluginMain for older hosts.
    target_link_options(${name} PRIVATE -Wl,--no-undefined -Wl,--defsym=main=VSTPluginMain
                        -Wl,--version-script=${CMAKE_SOURCE_DIR}/src/frame/exports.map)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/src/frame/exports.map)
  endif()
endfunction()

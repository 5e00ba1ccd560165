# The plug-in library as a host sees it: its exported names, ordinals, file
# format, imports and version resource (cmake/check-exports.sh).
set(check ${PROJECT_SOURCE_DIR}/cmake/check-exports.sh)
if(VELMORA_WIN32)
  if(VELMORA_PE32)
    set(machine i386)
  else()
    set(machine x86-64)
  endif()
  string(REGEX REPLACE "gcc(-posix)?$" "objdump" objdump "${CMAKE_C_COMPILER}")
  get_filename_component(objdump ${objdump} NAME)
  add_test(NAME plugin_exports
           COMMAND bash ${check} pe $<TARGET_FILE:velmora_plugin> ${objdump}
                   ${PROJECT_VERSION} ${machine})
else()
  add_test(NAME plugin_exports COMMAND bash ${check} elf $<TARGET_FILE:velmora_plugin>)
endif()
set_tests_properties(plugin_exports PROPERTIES TIMEOUT 60)


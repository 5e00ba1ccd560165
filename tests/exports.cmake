# The plug-in library as a host sees it: its exported names, ordinals, file
# format, imports and version resource, and what it must not hold
# (cmake/check-exports.sh).
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
set_tests_properties(plugin_exports PROPERTIES TIMEOUT 60 LABELS package)

# No test probe (platform/testing) inside the product: the plug-in's symbol
# table holds none of the platform functions the probe library defines.
# No fault seam inside the product: the plug-in holds no symbol of
# Platform::FaultSeam and does not load the seam's library, which the test
# build of the same plug-in (bin/seam/) does.
if(VELMORA_WIN32)
  set(seam_objdump ${objdump})
else()
  set(seam_objdump objdump)
endif()
add_test(NAME plugin_no_fault_seam
         COMMAND bash ${check} seam $<TARGET_FILE:velmora_plugin> ${CMAKE_NM} ${seam_objdump}
                 $<TARGET_FILE:velmora_plugin_seam>)
set_tests_properties(plugin_no_fault_seam PROPERTIES TIMEOUT 60 LABELS package)

add_test(NAME plugin_no_test_probes
         COMMAND bash ${check} probes $<TARGET_FILE:velmora_plugin> ${CMAKE_NM}
                 $<TARGET_FILE:velmora_platform_testing>)
set_tests_properties(plugin_no_test_probes PROPERTIES TIMEOUT 60 LABELS package)

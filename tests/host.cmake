# The host runner: its fake plug-ins (its parts and its in-process runs are
# cases, tests/cases/host_units and host_run), plus runs of the velmora-host
# program itself (under Wine in the win32 build).
set(fake_plugin_source ${PROJECT_SOURCE_DIR}/standins/host/test-plugin/FakePlugin.cpp)
foreach(fake FakePlugin FakePluginNoCommand)
  add_library(host_${fake} SHARED ${fake_plugin_source})
  target_link_libraries(host_${fake} PRIVATE velmora_params velmora_platform velmora_warnings)
  velmora_runtime_library(host_${fake} ${fake})
  if(VELMORA_WIN32)
    target_link_options(host_${fake} PRIVATE -Wl,--kill-at)
  endif()
endforeach()
target_compile_definitions(host_FakePluginNoCommand PRIVATE FAKE_PLUGIN_WITHOUT_COMMAND)

set(sample ${PROJECT_SOURCE_DIR}/standins/host/test-plugin/sample-scenario.txt)
add_test(NAME host_program_sample
         COMMAND velmora-host FakePlugin.dll --scenario ${sample} --user-value 77)
set_tests_properties(host_program_sample PROPERTIES TIMEOUT 60 LABELS fast PASS_REGULAR_EXPRESSION
  "plugin Velmora\nanswer 17 [^\n]*\nanswer 17 [^\n]*\nanswer 42 [^\n]*\nsent 3 answered 3 missing 0 duplicates 0 out-of-order 0\n")
add_test(NAME host_program_threads
         COMMAND velmora-host FakePlugin.dll --scenario ${sample} --threads 4 --repeat 25
                 --quiet --stats)
set_tests_properties(host_program_threads PROPERTIES TIMEOUT 60 LABELS fast PASS_REGULAR_EXPRESSION
  "stats round-trips 300 [^\n]*\nsent 300 answered 300 missing 0 duplicates 0 out-of-order 0\n")
add_test(NAME host_program_missing_plugin COMMAND velmora-host NoSuchPlugin.dll --scenario ${sample})
set_tests_properties(host_program_missing_plugin PROPERTIES TIMEOUT 60 WILL_FAIL TRUE LABELS fast)

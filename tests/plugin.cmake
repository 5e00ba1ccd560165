# The plug-in at its boundary, loaded as a host loads it, with the transport
# double in place of the transport library.
foreach(suite relay_paths)
  velmora_add_test(${suite}_test SOURCES ${suite}_test.cpp LIBS velmora_platform)
  add_dependencies(${suite}_test velmora_plugin velmora_transport_double)
endforeach()

# No transport library in reach: a folder of its own below bin.
add_executable(plugin_isolated_test plugin_isolated_test.cpp)
target_link_libraries(plugin_isolated_test PRIVATE velmora_test_support GTest::gtest_main
                                                   velmora_warnings)
set_target_properties(plugin_isolated_test PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/isolated)
add_dependencies(plugin_isolated_test velmora_plugin)
gtest_discover_tests(plugin_isolated_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES TIMEOUT 120)

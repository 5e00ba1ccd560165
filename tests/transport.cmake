# The transport suites. The client suite and the sharing tests run from bin
# beside the transport double. The load failures need a library search of
# their own: the search starts in the program's folder, and bin is shared by
# every suite running in parallel. So the same program is also built into
# bin/variants/absent (no library there) and bin/variants/no-dns (beside the
# double that lacks an entry), each running only its own suite.

velmora_add_test(tpktclient_test SOURCES tpktclient_test.cpp LIBS velmora_transport)
add_dependencies(tpktclient_test velmora_transport_double)

# transport_library_test program variant, placed in bin/<folder>, running the
# GoogleTest suite <suite> only. The program skips the other suites even when
# run by hand without a filter: each needs the folder of its own variant.
function(velmora_transport_library_test target folder suite)
  add_executable(${target} transport_library_test.cpp)
  target_link_libraries(${target} PRIVATE velmora_transport velmora_test_support GTest::gtest_main
                                          velmora_warnings)
  target_compile_definitions(${target} PRIVATE
    "TRANSPORT_DOUBLE_FILE_NAME=\"$<TARGET_FILE_NAME:velmora_transport_double>\""
    "TRANSPORT_LIBRARY_SUITE=\"${suite}\"")
  set(dir ${CMAKE_BINARY_DIR}/bin)
  if(folder)
    set(dir ${CMAKE_BINARY_DIR}/bin/${folder})
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${dir})
  endif()
  gtest_discover_tests(${target} TEST_FILTER "${suite}.*" WORKING_DIRECTORY ${dir}
                       DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300 PROPERTIES TIMEOUT 300)
endfunction()

velmora_transport_library_test(transport_library_test "" TransportLibrary)
add_dependencies(transport_library_test velmora_transport_double)
velmora_transport_library_test(transport_library_absent_test variants/absent TransportLibraryAbsent)
add_dependencies(transport_library_absent_test velmora_transport_double)
velmora_transport_library_test(transport_library_no_dns_test variants/no-dns TransportLibraryNoDns)
add_dependencies(transport_library_no_dns_test velmora_transport_double_no_dns)

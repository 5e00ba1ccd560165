# End-to-end runs (scripts/e2e.sh): the host runner drives the real plug-in,
# which talks through the TCP transport to the native file server. Natively
# everything comes from this build; in a Windows build the programs run under
# Wine and the file server is a native program built beside it (or the one
# named by VELMORA_NATIVE_FILESERVER).

# velmora_add_run_test(NAME SCRIPT WORK TIMEOUT LABEL [ARGS...]): a test that
# runs scripts/SCRIPT on this build's programs and the chosen file server
# (e2e_fileserver, e2e_wine) in the work folder WORK of this build; exit 125
# means skipped. Each takes seconds: they start first.
function(velmora_add_run_test name script work timeout label)
  add_test(NAME ${name}
           COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/${script} ${e2e_wine}
                   --bin ${CMAKE_BINARY_DIR}/bin --fileserver ${e2e_fileserver}
                   --work ${CMAKE_BINARY_DIR}/${work} ${ARGN})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout} SKIP_RETURN_CODE 125
                       LABELS ${label} COST 10)
endfunction()

set(e2e_fileserver "")
set(e2e_wine "")
if(NOT VELMORA_WIN32)
  set(e2e_fileserver $<TARGET_FILE:velmora-fileserver>)
elseif(VELMORA_RUN_TESTS)
  set(VELMORA_NATIVE_FILESERVER "" CACHE FILEPATH
      "A native velmora-fileserver for the end-to-end runs under Wine (empty: build one)")
  set(e2e_wine --wine)
  if(VELMORA_NATIVE_FILESERVER)
    set(e2e_fileserver ${VELMORA_NATIVE_FILESERVER})
  else()
    # The file server is a Linux program: a native build of that one target,
    # with the host's compilers (no toolchain file), inside this build;
    # unoptimized, as the native suites' own file server (a third of the time).
    include(ExternalProject)
    ExternalProject_Add(e2e_native_fileserver
      SOURCE_DIR ${PROJECT_SOURCE_DIR}
      BINARY_DIR ${CMAKE_BINARY_DIR}/native-fileserver
      CMAKE_ARGS -DCMAKE_BUILD_TYPE=Debug -DVELMORA_TESTS=OFF
      BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target velmora-fileserver --parallel 2
      INSTALL_COMMAND ""
      BUILD_ALWAYS ON
      BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/native-fileserver/bin/velmora-fileserver)
    set(e2e_fileserver ${CMAKE_BINARY_DIR}/native-fileserver/bin/velmora-fileserver)
  endif()
endif()

# No file server: the 32-bit build on a machine that cannot run its programs.
if(e2e_fileserver)
  foreach(e2e_case operations quoted sessions restart noserver check)
    velmora_add_run_test(e2e_${e2e_case} e2e.sh e2e/${e2e_case} 120 e2e ${e2e_case})
  endforeach()
endif()

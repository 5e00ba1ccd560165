# Log suites. Programs that look for "LogClient.dll" by its bare name live in
# folders of their own, because the host executable's directory (the test
# program's) is part of that search: log_process_test has no client beside
# it, log_hostdir_test sits beside the stand-in.
velmora_add_test(log_test SOURCES log_test.cpp LIBS velmora_log)

velmora_add_test(log_client_test SOURCES log_client_test.cpp LIBS velmora_log)
add_dependencies(log_client_test logclient logclient_nofinalize)

velmora_add_test(log_process_test SOURCES log_process_test.cpp LIBS velmora_log)
set_target_properties(log_process_test PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/log_process)

velmora_add_test(log_hostdir_test SOURCES log_hostdir_test.cpp LIBS velmora_log)
add_dependencies(log_hostdir_test logclient)
set_target_properties(log_hostdir_test PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/logclient)

# The log against a clock the test sets: the program is linked with the seam
# build of the platform layer (platform/FaultSeam.h), whose clock it sets.
velmora_add_test(log_clock_test SOURCES log_clock_test.cpp LIBS velmora_log)
set_target_properties(log_clock_test PROPERTIES VELMORA_FAULT_SEAM ON)
add_dependencies(log_clock_test logclient)

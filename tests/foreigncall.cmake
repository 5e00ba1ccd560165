# The foreign-call guard: a run-time library of foreign code that faults,
# raises, handles its own exceptions and calls back, and the suite that calls
# it through the guard (linked to it, so it is a module of its own).
add_library(foreign_call_test_lib SHARED foreign_call_test_lib.cpp)
target_link_libraries(foreign_call_test_lib PRIVATE velmora_platform velmora_platform_testing velmora_warnings)
velmora_runtime_library(foreign_call_test_lib ForeignCallTestLib)

velmora_add_test(foreign_call_test SOURCES foreign_call_test.cpp LIBS velmora_platform foreign_call_test_lib)

# Faults inside the foreign code the plug-in calls, end to end: the host's
# callback, the transport double and the log-client stand-in fault on demand.
velmora_add_test(foreign_faults_test SOURCES foreign_faults_test.cpp LIBS velmora_platform)
add_dependencies(foreign_faults_test velmora_plugin velmora_transport_double logclient)

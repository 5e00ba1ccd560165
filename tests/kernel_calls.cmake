# Kernel-object calls per round trip, counted by the fault seam in the test
# build of the plug-in (bin/seam/); prints the figures (run with -V).
velmora_add_test(kernel_calls_test SOURCES kernel_calls_test.cpp
                 LIBS velmora_platform velmora_fault_seam TIMEOUT 300)
add_dependencies(kernel_calls_test velmora_plugin_seam velmora_transport_double)

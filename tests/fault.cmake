# The fault sweep: the test build of the plug-in (bin/seam/) run through one
# script again and again, a platform operation failing at each of its calls
# in turn (platform/FaultSeam.h). The program itself uses the product's
# platform layer: only the plug-in's calls are counted and failed.
# The sampled sweep takes about half a minute natively and up to a few
# minutes under ThreadSanitizer or Wine; the bound leaves room for a loaded
# machine.
velmora_add_test(fault_sweep_test SOURCES fault_sweep_test.cpp
                 LIBS velmora_platform velmora_fault_seam TIMEOUT 900)
add_dependencies(fault_sweep_test velmora_plugin_seam velmora_transport_double)

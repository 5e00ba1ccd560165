# The shared test harness (tests/support): the plug-in loader and the
# required-entry lookup, against the built plug-in and the transport double.
velmora_add_test(harness_test SOURCES harness_test.cpp LIBS velmora_platform)
add_dependencies(harness_test velmora_plugin velmora_transport_double)

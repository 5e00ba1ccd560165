# The relay manager inside the test program, with limits of the tests' own
# and the worker's test faults, against the transport double.
velmora_add_test(relay_limits_test SOURCES relay_limits_test.cpp LIBS velmora_relay)
add_dependencies(relay_limits_test velmora_transport_double)

# The table of requests awaiting their answers, on its own.
velmora_add_test(relay_outstanding_test SOURCES relay_outstanding_test.cpp LIBS velmora_relay)

# The task record, the general thread class and the worker thread.
velmora_add_test(taskhandler_test SOURCES taskhandler_test.cpp LIBS velmora_relay)

# The adaptive spin before a thread's wait.
velmora_add_test(spin_test SOURCES spin_test.cpp LIBS velmora_platform)

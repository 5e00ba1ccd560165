# The heap-in-use figure of the platform layer (read by the benchmarks).
velmora_add_test(heapusage_test SOURCES heapusage_test.cpp LIBS velmora_platform)

# Shutdown under fire: repeated load/init/traffic/finalize/unload cycles of
# the plug-in against the echoing transport double, threads and descriptors
# counted before and after.
if(TARGET velmora_plugin AND TARGET velmora_transport_double)
  velmora_add_test(reliability_test SOURCES reliability_test.cpp LIBS velmora_platform)
  add_dependencies(reliability_test velmora_plugin velmora_transport_double)
endif()

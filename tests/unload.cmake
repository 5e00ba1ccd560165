# Libraries cycled through load and unload by the hundred in one process:
# the plug-in (with the transport double it loads) and the stand-in TCP
# transport and log client must give back every thread-local-storage slot.
velmora_add_test(unload_test SOURCES unload_test.cpp LIBS velmora_platform)
add_dependencies(unload_test velmora_plugin velmora_transport_double velmora_transport_tcp velmora_syslog_client
                 logclient)

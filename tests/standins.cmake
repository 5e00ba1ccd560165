# The stand-ins: the TCP transport library (both targets, loaded from bin/tcp)
# and the file server (native only).
velmora_add_test(transport_tcp_test SOURCES transport_tcp_test.cpp LIBS velmora_standin_net)
add_dependencies(transport_tcp_test velmora_transport_tcp)
if(NOT VELMORA_WIN32)
  velmora_add_test(fileserver_test SOURCES fileserver_test.cpp LIBS velmora_fileserver_core velmora_standin_net)
endif()

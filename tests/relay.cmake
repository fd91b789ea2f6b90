# Relay server: in-process tests with real sockets, and the daemon run as a process.
set(_relay_test_client
  ${CMAKE_CURRENT_SOURCE_DIR}/relay/relaytestclient.h
  ${CMAKE_CURRENT_SOURCE_DIR}/relay/relaytestclient.cpp)
arbelon_test(NAME tst_relay_server
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/relay/tst_relay_server.cpp ${_relay_test_client}
  LIBS arbelon_relay_lib ZLIB::ZLIB TIMEOUT 240)
arbelon_test(NAME tst_relay_process
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/relay/tst_relay_process.cpp ${_relay_test_client}
  LIBS arbelon_relay_lib ZLIB::ZLIB TIMEOUT 120)
add_dependencies(tst_relay_process arbelon-relay)

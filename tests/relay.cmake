# Relay server: in-process tests with real sockets, and the daemon run as a process.
set(_relay_test_support
  ${CMAKE_CURRENT_SOURCE_DIR}/relay/relaytestclient.h
  ${CMAKE_CURRENT_SOURCE_DIR}/relay/relaytestclient.cpp)
set(_relay_fixture
  ${CMAKE_CURRENT_SOURCE_DIR}/relay/relayfixture.h
  ${CMAKE_CURRENT_SOURCE_DIR}/relay/relayfixture.cpp)
arbelon_test(NAME tst_relay_server
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/relay/tst_relay_server.cpp ${_relay_test_support} ${_relay_fixture}
  LIBS arbelon_relay_lib ZLIB::ZLIB TIMEOUT 240)
arbelon_test(NAME tst_relay_safety
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/relay/tst_relay_safety.cpp ${_relay_test_support} ${_relay_fixture}
  LIBS arbelon_relay_lib ZLIB::ZLIB TIMEOUT 240)
arbelon_test(NAME tst_relay_process
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/relay/tst_relay_process.cpp ${_relay_test_support}
  LIBS arbelon_relay_lib ZLIB::ZLIB TIMEOUT 120)
add_dependencies(tst_relay_process arbelon-relay)

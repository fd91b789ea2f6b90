# Relay protocol: records, receive buffer and dispatch, the stream socket over loopback.
arbelon_test(NAME tst_records
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/protocol/tst_records.cpp
  LIBS arbelon_protocol)
arbelon_test(NAME tst_dispatch
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/protocol/tst_dispatch.cpp
  LIBS arbelon_protocol)
arbelon_test(NAME tst_twsocket
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/protocol/tst_twsocket.cpp
  LIBS arbelon_protocol Qt6::Network
  TIMEOUT 180)

arbelon_test(NAME tst_session
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/session/tst_session.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/common/fakerelay.h
          ${CMAKE_CURRENT_SOURCE_DIR}/common/testdoubles.h
  LIBS arbelon_core)

arbelon_test(NAME tst_connectform
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/session/tst_connectform.cpp
  LIBS arbelon_connectform)

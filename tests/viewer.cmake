# Viewer demo reception and playback: naming rules, and whole sessions against a scripted relay.
arbelon_test(NAME tst_viewernaming
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/demo/tst_viewernaming.cpp
  LIBS arbelon_core)
arbelon_test(NAME tst_viewerdemofile
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/demo/tst_viewerdemofile.cpp
  LIBS arbelon_core)
arbelon_test(NAME tst_viewer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/demo/tst_viewer.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/common/fakerelay.h
          ${CMAKE_CURRENT_SOURCE_DIR}/common/testdoubles.h
  LIBS arbelon_core ZLIB::ZLIB
  TIMEOUT 300)

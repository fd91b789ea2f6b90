# The Filmer: autoexec logging line, console log scan, upload.
arbelon_test(NAME tst_autoexec SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/demo/tst_autoexec.cpp LIBS arbelon_core)
arbelon_test(NAME tst_consolelog SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/demo/tst_consolelog.cpp LIBS arbelon_core)
arbelon_test(NAME tst_filmerscan
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/demo/tst_filmerscan.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/common/testdoubles.h
  LIBS arbelon_core)
# Connects to a relay of its own on 127.0.0.31, the Filmer's port.
arbelon_test(NAME tst_filmerupload
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/demo/tst_filmerupload.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/common/fakerelay.h
          ${CMAKE_CURRENT_SOURCE_DIR}/common/testdoubles.h
  LIBS arbelon_core)

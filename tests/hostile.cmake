# Hardening: a Viewer against a relay that misbehaves on purpose.
arbelon_test(NAME tst_hostilerelay
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/hostile/tst_hostilerelay.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/hostile/hostilerelay.h ${CMAKE_CURRENT_SOURCE_DIR}/hostile/hostilerelay.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/hostile/hostileviewer.h ${CMAKE_CURRENT_SOURCE_DIR}/hostile/hostileviewer.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/common/testdoubles.h
  LIBS arbelon_core
  TIMEOUT 900)

# Hardening: the relay against clients that misbehave, beside an honest Filmer and Viewer.
arbelon_test(NAME tst_hostileclients
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/hostile/tst_hostileclients.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/hostile/relaypeers.h ${CMAKE_CURRENT_SOURCE_DIR}/hostile/relaypeers.cpp
  LIBS arbelon_relay_lib arbelon_zlib
  TIMEOUT 900)

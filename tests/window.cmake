# The main window driven as a user would: a scripted relay on loopback, and the real relay
# with two windows in one lobby.
set(_window_rig
  ${CMAKE_CURRENT_SOURCE_DIR}/shell/windowrig.h ${CMAKE_CURRENT_SOURCE_DIR}/shell/windowrig.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/common/fakerelay.h ${CMAKE_CURRENT_SOURCE_DIR}/common/testdoubles.h)
arbelon_test(NAME tst_windowsession
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/shell/tst_windowsession.cpp ${_window_rig}
  LIBS arbelon_ui)
arbelon_test(NAME tst_relaylobby
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/shell/tst_relaylobby.cpp ${_window_rig}
  LIBS arbelon_ui TIMEOUT 120)
add_dependencies(tst_relaylobby arbelon-relay)

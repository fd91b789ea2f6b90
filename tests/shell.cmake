# Settings store, main window and game folder dialog.
arbelon_test(NAME tst_settingsstore
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/shell/tst_settingsstore.cpp
  LIBS arbelon_core)

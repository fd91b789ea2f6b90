# Settings store, main window and game folder dialog.
arbelon_test(NAME tst_settingsstore
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/shell/tst_settingsstore.cpp
  LIBS arbelon_core)
arbelon_test(NAME tst_folderselect
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/shell/tst_folderselect.cpp
  LIBS arbelon_ui)
arbelon_test(NAME tst_mainform
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/shell/tst_mainform.cpp
  LIBS arbelon_ui)

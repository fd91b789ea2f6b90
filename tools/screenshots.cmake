# Takes the pictures of docs/UI.md: run under a display (Xvfb), with the output folder.
add_executable(arbelon-screenshots
  ${CMAKE_CURRENT_LIST_DIR}/screenshots/shoot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/screenshots/sessionshots.h
  ${CMAKE_CURRENT_LIST_DIR}/screenshots/sessionshots.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../tests/common/fakerelay.h)
target_link_libraries(arbelon-screenshots PRIVATE arbelon_ui)

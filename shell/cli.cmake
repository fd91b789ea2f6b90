# The headless client: the same core as the window, no widgets.
add_executable(arbelon-cli
  ${CMAKE_CURRENT_LIST_DIR}/cli/arbelon_cli.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cli/clirunner.h ${CMAKE_CURRENT_LIST_DIR}/cli/clirunner.cpp
)
target_link_libraries(arbelon-cli PRIVATE arbelon_core)

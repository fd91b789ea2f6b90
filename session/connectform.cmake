# The connect dialog (UI layer). A library of its own so that the main window links it and
# its tests build without the rest of the window.
add_library(arbelon_connectform STATIC
  ${CMAKE_CURRENT_LIST_DIR}/connect.h ${CMAKE_CURRENT_LIST_DIR}/connect.cpp
  ${CMAKE_CURRENT_LIST_DIR}/userprompts.h
)
target_link_libraries(arbelon_connectform PUBLIC Qt6::Widgets Qt6::Core)

# Renders the connect dialog in both roles to PNG files for the documentation.
add_executable(connectshots ${CMAKE_CURRENT_SOURCE_DIR}/connectshots.cpp)
target_link_libraries(connectshots PRIVATE arbelon_connectform)

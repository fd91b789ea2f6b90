# The stand-in game for tests and demos (see tools/standin/main.cpp).
add_executable(arbelon-standin-game
  ${CMAKE_CURRENT_SOURCE_DIR}/standin/main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/standin/standinoptions.h
  ${CMAKE_CURRENT_SOURCE_DIR}/standin/standinoptions.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/standin/standingame.h
  ${CMAKE_CURRENT_SOURCE_DIR}/standin/standingame.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/standin/launchrecord.h
  ${CMAKE_CURRENT_SOURCE_DIR}/standin/launchrecord.cpp
)
target_link_libraries(arbelon-standin-game PRIVATE arbelon_platform Qt6::Widgets)

# The stand-in game and the game-running check, which looks for it.
arbelon_test(NAME tst_standin
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools/tst_standin.cpp
  LIBS Qt6::Core
  TIMEOUT 180)
add_dependencies(tst_standin arbelon-standin-game)

arbelon_test(NAME tst_gamerunning
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools/tst_gamerunning.cpp
  LIBS arbelon_platform PkgConfig::XCB
  TIMEOUT 180)
add_dependencies(tst_gamerunning arbelon-standin-game)

# Both start processes named after the games, and the check looks at every process on the
# machine: tests that run game-named processes share this lock.
set_tests_properties(tst_standin tst_gamerunning PROPERTIES RESOURCE_LOCK game_processes)

# arbelon-cli against the real relay (on 127.0.0.61 and .62, the client's fixed ports) and the
# stand-in game. The stand-in runs as quake2.exe/quake3.exe, and the Filmer's game check looks
# at every process on the machine: it shares the lock of the other game-running tests.
arbelon_test(NAME tst_cli
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/cli/tst_cli.cpp
  LIBS Qt6::Core
  TIMEOUT 240)
add_dependencies(tst_cli arbelon-cli arbelon-relay arbelon-standin-game)
set_tests_properties(tst_cli PROPERTIES RESOURCE_LOCK game_processes)

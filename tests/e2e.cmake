arbelon_test(NAME tst_endtoend
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/e2e/tst_endtoend.cpp
  LIBS arbelon_protocol arbelon_zlib Qt6::Network
  TIMEOUT 240)
# The stand-in runs as quake2.exe: tests that look for that process must not overlap.
set_tests_properties(tst_endtoend PROPERTIES RESOURCE_LOCK game_processes)
add_dependencies(tst_endtoend arbelon-relay arbelon-cli arbelon-standin-game)

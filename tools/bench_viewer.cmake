# Viewer receive path benchmark: DEMOPACKETs through dispatch, inflate, CRC and the demo file,
# next to a plain zlib loop.
add_executable(bench_viewer ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_viewer.cpp)
target_link_libraries(bench_viewer PRIVATE arbelon_core)

# Benchmark: bursts of small records through the receive loop, in memory. Prints figures.
add_executable(bench_dispatch ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_dispatch.cpp)
target_link_libraries(bench_dispatch PRIVATE arbelon_protocol)

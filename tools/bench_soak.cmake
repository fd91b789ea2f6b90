# Soak benchmark: arbelon-relay as a child process under churn and attack for minutes,
# printing its memory, descriptors and delivered blocks each minute (not a test).
add_executable(bench_soak ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_soak.cpp
  ${CMAKE_SOURCE_DIR}/tests/hostile/relaypeers.h ${CMAKE_SOURCE_DIR}/tests/hostile/relaypeers.cpp)
target_link_libraries(bench_soak PRIVATE arbelon_protocol arbelon_zlib Qt6::Core Qt6::Network)
add_dependencies(bench_soak arbelon-relay)

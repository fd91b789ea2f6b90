# Relay load benchmark (prints figures; not a test).
add_executable(bench_relay ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_relay.cpp)
target_link_libraries(bench_relay PRIVATE arbelon_protocol Qt6::Core Qt6::Network)
add_dependencies(bench_relay arbelon-relay)

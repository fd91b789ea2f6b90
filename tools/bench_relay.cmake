# Relay load benchmark (prints figures; not a test). Its clients are plain sockets.
add_executable(bench_relay ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_relay.cpp)
target_link_libraries(bench_relay PRIVATE arbelon_protocol Qt6::Core)
add_dependencies(bench_relay arbelon-relay)

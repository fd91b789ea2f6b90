# Block compression benchmark: inflateBlock() next to a plain zlib loop.
add_executable(bench_inflate_block ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_inflate_block.cpp)
target_link_libraries(bench_inflate_block PRIVATE arbelon_zlib)

# Filmer benchmark: console log scan cost per new megabyte, upload cost per demo megabyte.
add_executable(bench_filmer ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_filmer.cpp)
target_link_libraries(bench_filmer PRIVATE arbelon_core)

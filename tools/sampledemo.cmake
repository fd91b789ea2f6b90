# Writes a deterministic demo-like file for the run command and manual tries.
add_executable(arbelon-sample-demo ${CMAKE_CURRENT_SOURCE_DIR}/sampledemo/main.cpp)
target_link_libraries(arbelon-sample-demo PRIVATE Qt6::Core)

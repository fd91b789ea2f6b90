# The relay server: its logic as a library (for tests and benchmarks) and the daemon.
add_library(arbelon_relay_lib STATIC
  relayconfig.h
  relaylog.h relaylog.cpp
  tokenbucket.h tokenbucket.cpp
  relayconnection.h relayconnection.cpp
  relaygame.h relaygame.cpp
  relayserver.h relayserver.cpp
  relayoptions.h relayoptions.cpp
)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_sources(arbelon_relay_lib PRIVATE epolldispatcher.h epolldispatcher.cpp)
endif()
target_link_libraries(arbelon_relay_lib PUBLIC arbelon_protocol Qt6::Core Qt6::Network)

add_executable(arbelon-relay main.cpp)
target_link_libraries(arbelon-relay PRIVATE arbelon_relay_lib)
target_compile_definitions(arbelon-relay PRIVATE ARBELON_VERSION="${PROJECT_VERSION}")

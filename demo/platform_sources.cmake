# Platform services behind small interfaces (the game-running check), so the core can be
# tested with doubles. Talks to X through libxcb directly: no Qt::Widgets here.
find_package(PkgConfig REQUIRED)
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET GLOBAL xcb)

add_library(arbelon_platform STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/gamerunning.h
  ${CMAKE_CURRENT_SOURCE_DIR}/gamerunning.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/x11windowfinder.h
  ${CMAKE_CURRENT_SOURCE_DIR}/x11windowfinder.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/processfinder.h
  ${CMAKE_CURRENT_SOURCE_DIR}/processfinder.cpp
)
target_link_libraries(arbelon_platform PUBLIC Qt6::Core PRIVATE PkgConfig::XCB)

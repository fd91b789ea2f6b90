target_sources(arbelon_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/demotransferstate.h
  ${CMAKE_CURRENT_LIST_DIR}/gamelayout.h ${CMAKE_CURRENT_LIST_DIR}/gamelayout.cpp
  ${CMAKE_CURRENT_LIST_DIR}/demolistmodel.h ${CMAKE_CURRENT_LIST_DIR}/demolistmodel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/programstarter.h ${CMAKE_CURRENT_LIST_DIR}/programstarter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/viewerreception.h ${CMAKE_CURRENT_LIST_DIR}/viewerreception.cpp
  ${CMAKE_CURRENT_LIST_DIR}/viewernaming.h ${CMAKE_CURRENT_LIST_DIR}/viewernaming.cpp
  ${CMAKE_CURRENT_LIST_DIR}/viewerdemofile.h ${CMAKE_CURRENT_LIST_DIR}/viewerdemofile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/filmerupload.h ${CMAKE_CURRENT_LIST_DIR}/filmerupload.cpp
)
# Filmer: autoexec logging line, console log reading and scan.
target_sources(arbelon_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/autoexec.h ${CMAKE_CURRENT_LIST_DIR}/autoexec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/consolelog.h ${CMAKE_CURRENT_LIST_DIR}/consolelog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/consolelogreader.h ${CMAKE_CURRENT_LIST_DIR}/consolelogreader.cpp
)

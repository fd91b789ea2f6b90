target_sources(arbelon_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/clientcore.h ${CMAKE_CURRENT_LIST_DIR}/clientcore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gamelistmodel.h ${CMAKE_CURRENT_LIST_DIR}/gamelistmodel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/userprompts.h
)

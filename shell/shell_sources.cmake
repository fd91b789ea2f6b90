# Settings store: part of the core (QtCore only). The registry-file stand-in is used
# everywhere; Windows also gets the real registry.
target_sources(arbelon_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/clientsettings.h
  ${CMAKE_CURRENT_LIST_DIR}/regfile.h ${CMAKE_CURRENT_LIST_DIR}/regfile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registryhive.h ${CMAKE_CURRENT_LIST_DIR}/registryhive.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settingsstore.h ${CMAKE_CURRENT_LIST_DIR}/settingsstore.cpp
)
if(WIN32)
  target_sources(arbelon_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/winregistryhive.cpp)
endif()

# The widgets: main window, folder dialog and the prompts that answer the core. The connect
# dialog (session/connect.*, TConnectForm) is a library of its own, linked here.
add_library(arbelon_ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/main_client.h ${CMAKE_CURRENT_LIST_DIR}/main_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/main_client_pages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mainformparts.h ${CMAKE_CURRENT_LIST_DIR}/mainformparts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/widgetprompts.h ${CMAKE_CURRENT_LIST_DIR}/widgetprompts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FolderSelect.h ${CMAKE_CURRENT_LIST_DIR}/FolderSelect.cpp
)
target_link_libraries(arbelon_ui PUBLIC arbelon_core arbelon_platform arbelon_connectform Qt6::Widgets)

# The program.
add_executable(arbelon-client ${CMAKE_CURRENT_LIST_DIR}/ArbelonClient.cpp)
target_link_libraries(arbelon-client PRIVATE arbelon_ui)

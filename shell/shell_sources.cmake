# Settings store: filled in by the settings work.
target_sources(arbelon_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/clientsettings.h)

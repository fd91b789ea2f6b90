# Installation and Debian packages: one package per program.
#   cmake --install build --prefix /usr/local     (or DESTDIR=... for a staging tree)
#   cd build && cpack -G DEB                      (arbelon-client, arbelon-relay, arbelon-cli)
include(GNUInstallDirs)

set(_pkg_dir ${CMAKE_CURRENT_LIST_DIR})

# ---- client: the program, its desktop entry and icon ----------------------------------
# The entry also handles arbelon:// links (x-scheme-handler/arbelon); the desktop's cache of
# handlers is brought up to date by desktop-file-utils' dpkg trigger, so no script is needed.
if(ARBELON_CLIENT)
  install(TARGETS arbelon-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
  install(FILES ${_pkg_dir}/arbelon-client.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT client)
  install(FILES ${_pkg_dir}/arbelon.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT client)
endif()

# ---- relay: the daemon and its systemd unit --------------------------------------------
if(ARBELON_RELAY)
  install(TARGETS arbelon-relay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT relay)
  # The unit names the program by its installed path, which is known only at install time
  # (a package installs under /usr, `cmake --install --prefix` wherever it is told).
  set(_relay_unit ${CMAKE_BINARY_DIR}/packaging/arbelon-relay.service)
  install(CODE "
    set(ARBELON_RELAY_BIN \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/arbelon-relay\")
    configure_file(\"${_pkg_dir}/arbelon-relay.service\" \"${_relay_unit}\" @ONLY)
  " COMPONENT relay)
  install(FILES ${_relay_unit} DESTINATION lib/systemd/system COMPONENT relay)
  install(FILES ${CMAKE_SOURCE_DIR}/docs/RELAY.md
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/arbelon-relay COMPONENT relay OPTIONAL)
endif()

# ---- cli: the headless client ------------------------------------------------------------
if(ARBELON_CLIENT)
  install(TARGETS arbelon-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
endif()

# ---- Debian packages ---------------------------------------------------------------------
set(CPACK_PACKAGE_NAME arbelon)
set(CPACK_PACKAGE_VENDOR "Arbelon")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Arbelon maintainers <maintainers@arbelon.invalid>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL)
if(ARBELON_CLIENT)
  list(APPEND CPACK_COMPONENTS_ALL client cli)
endif()
if(ARBELON_RELAY)
  list(APPEND CPACK_COMPONENTS_ALL relay)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Each package's description: its first line is the summary.
# Library packages found by dpkg-shlibdeps; what is loaded at run time (the Qt platform
# plugins of the window) is named by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME arbelon-client)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION games)
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_COMPONENT_CLIENT_DISPLAY_NAME "Arbelon Client")
set(CPACK_DEBIAN_CLIENT_DESCRIPTION
    "Desktop client that watches live Quake 2 and Quake 3 Arena games
Arbelon Client lists the games that an Arbelon relay broadcasts, joins a game's lobby
(chat and users), writes the game's demos into the game's own demos folder while they
arrive and starts the game to play them. As a Filmer it announces a local game and
uploads the demos that the game records.")

set(CPACK_DEBIAN_RELAY_PACKAGE_NAME arbelon-relay)
set(CPACK_DEBIAN_RELAY_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA
    ${_pkg_dir}/deb/relay/postinst ${_pkg_dir}/deb/relay/prerm ${_pkg_dir}/deb/relay/postrm)
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RELAY_DISPLAY_NAME "Arbelon relay server")
set(CPACK_DEBIAN_RELAY_DESCRIPTION
    "Relay server that carries filmed Quake 2 and Quake 3 Arena games to viewers
arbelon-relay takes games from Filmers (TCP port 38963) and passes their demo data, lobby
chat and user lists on to Viewers (TCP port 38962), also to those who join late. It comes
with a hardened systemd unit, arbelon-relay.service.")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME arbelon-cli)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION games)
set(CPACK_COMPONENT_CLI_DISPLAY_NAME "Arbelon command-line client")
set(CPACK_DEBIAN_CLI_DESCRIPTION
    "Headless Arbelon client: list, watch and film games from a terminal
arbelon-cli lists the games of an Arbelon relay, watches one into a game's demos folder,
or films a local game, printing one line per event. It suits scripts and servers.")

include(CPack)

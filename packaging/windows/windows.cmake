# The Windows programs and what they need beside them: Qt's DLLs and plugins, the mingw
# runtime and zlib. They are copied into the build's bin folder, so that every program and
# test there runs as it is, and installed into one flat folder, from which
# tools/windows/build.sh makes the installer (installer.nsi) and the zip.
set(_win_bin ${CMAKE_BINARY_DIR}/bin)

set(_win_dlls)
foreach(_qt Core Gui Widgets Network)
  list(APPEND _win_dlls $<TARGET_FILE:Qt6::${_qt}>)
endforeach()
foreach(_runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_runtime}
                  OUTPUT_VARIABLE _found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${_found}" OR NOT EXISTS "${_found}")
    message(FATAL_ERROR "The mingw runtime ${_runtime} is not where the compiler says")
  endif()
  list(APPEND _win_dlls ${_found})
endforeach()
# zlib's DLL lies beside its import library.
list(GET ZLIB_LIBRARIES 0 _zlib_lib)
get_filename_component(_zlib_dir "${_zlib_lib}" DIRECTORY)
if(NOT EXISTS "${_zlib_dir}/zlib1.dll")
  message(FATAL_ERROR "zlib1.dll is not beside ${_zlib_lib}")
endif()
list(APPEND _win_dlls ${_zlib_dir}/zlib1.dll)

# Plugin folder -> plugin targets: the Windows platform, the native widget style, and .ico
# images for the window's icon.
set(_win_plugins
  platforms QWindowsIntegrationPlugin
  styles QWindowsVistaStylePlugin
  imageformats QICOPlugin)

set(_copy_commands COMMAND ${CMAKE_COMMAND} -E make_directory ${_win_bin})
# Qt Test only for the test programs in bin; the installed programs do without it.
foreach(_dll ${_win_dlls} $<TARGET_FILE:Qt6::Test>)
  list(APPEND _copy_commands COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_dll} ${_win_bin}/)
endforeach()
install(FILES ${_win_dlls} DESTINATION .)
while(_win_plugins)
  list(POP_FRONT _win_plugins _folder _plugin)
  if(NOT TARGET Qt6::${_plugin})
    message(FATAL_ERROR "Qt for Windows lacks its plugin ${_plugin}")
  endif()
  list(APPEND _copy_commands
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_win_bin}/${_folder}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Qt6::${_plugin}> ${_win_bin}/${_folder}/)
  install(FILES $<TARGET_FILE:Qt6::${_plugin}> DESTINATION ${_folder})
endwhile()
add_custom_target(windows_runtime ALL ${_copy_commands} VERBATIM)

install(TARGETS arbelon-client arbelon-cli RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/INSTALL.md DESTINATION docs)

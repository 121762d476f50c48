# korvex-settings.exe: the settings window. The driver's own settings code
# (LoadSettings, CorrectSettings, SaveSettings) on its Win32 layer, and
# korvex-host's port list, library loader, session and demos for "Try the
# board". Included by cmake/windows.cmake; lands beside Korvex.dll.
add_executable(korvex-settings WIN32
  tools/settings/main_win32.cpp
  tools/settings/settings_core.cpp
  tools/settings/try_board.cpp
  tools/settings/settings.rc
  settings/settings.cpp
  core/driver_state.cpp
  platform/win32/platform_win32.cpp
  platform/shared_rules.cpp
  tools/host/driver_loader.cpp
  tools/host/session.cpp
  tools/host/demos.cpp
  tools/host/picture.cpp
  tools/host/wire_model.cpp
  tools/host/port_list.cpp
  tools/host/screens.cpp
  tools/common/port_names.cpp
  display/changes.cpp
)
target_include_directories(korvex-settings PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(korvex-settings PRIVATE -Wall -Wextra)
# The resource compiler finds the manifest from the repository's root.
set_property(SOURCE tools/settings/settings.rc APPEND PROPERTY INCLUDE_DIRECTORIES ${CMAKE_SOURCE_DIR})
target_link_libraries(korvex-settings PRIVATE setupapi advapi32 user32)
# Self-contained and for XP, as korvex-host is.
target_link_options(korvex-settings PRIVATE -mwindows -static -static-libgcc -static-libstdc++
  ${KORVEX_XP_LINK_OPTIONS})
target_compile_definitions(korvex-settings PRIVATE ${KORVEX_XP_DEFINITIONS})

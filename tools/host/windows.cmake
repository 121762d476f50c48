# korvex-host: a Windows console program that loads a Korvex.dll and drives
# it as the host application does. Included by cmake/windows.cmake for both
# the 32-bit and the 64-bit build; lands beside Korvex.dll in the build dir.
add_executable(korvex-host
  tools/host/main.cpp
  tools/host/driver_loader.cpp
  tools/host/session.cpp
  tools/host/demos.cpp
  tools/host/script.cpp
  tools/host/picture.cpp
  tools/host/wire_model.cpp
  tools/host/port_list.cpp
  tools/common/port_names.cpp
  platform/shared_rules.cpp
  tools/host/screens.cpp
  display/changes.cpp
)
target_include_directories(korvex-host PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(korvex-host PRIVATE -Wall -Wextra)
# The list of ports: the registry (advapi32) and SetupAPI, both in Windows XP.
target_link_libraries(korvex-host PRIVATE setupapi advapi32)
# Self-contained: only system DLLs are imported, so the .exe runs anywhere
# Korvex.dll does.
target_link_options(korvex-host PRIVATE -mconsole -static -static-libgcc -static-libstdc++
  ${KORVEX_XP_LINK_OPTIONS})
target_compile_definitions(korvex-host PRIVATE ${KORVEX_XP_DEFINITIONS})

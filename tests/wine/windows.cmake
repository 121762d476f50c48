# Windows programs that the Wine test runs. Included by cmake/windows.cmake;
# only the 64-bit build makes them, since only 64-bit Wine runs here.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  # Loads a Korvex.dll by path and drives its exports, watching the message
  # box and the serial calls through the library's import table.
  add_executable(korvex-wine-probe tests/wine/wine_probe.cpp)
  target_include_directories(korvex-wine-probe PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(korvex-wine-probe PRIVATE -Wall -Wextra -Werror)
  target_link_options(korvex-wine-probe PRIVATE -static -static-libgcc -static-libstdc++)
  target_link_libraries(korvex-wine-probe PRIVATE version)

  # The Win32 platform layer on its own, called directly.
  add_executable(korvex-platform-probe
    tests/wine/platform_probe.cpp
    platform/win32/platform_win32.cpp
    platform/shared_rules.cpp
  )
  target_include_directories(korvex-platform-probe PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(korvex-platform-probe PRIVATE -Wall -Wextra -Werror)
  target_link_options(korvex-platform-probe PRIVATE -static -static-libgcc -static-libstdc++)
endif()

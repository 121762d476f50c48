# Windows programs that the Wine tests run, in both builds: the win64 ones
# under 64-bit Wine, the i686 ones beside the deliverable under 32-bit Wine.
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

# The i686 build alone: every export called through a thunk that checks the
# stack clean-up and the callee-saved registers.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_executable(korvex-thunk-probe tests/wine/thunk_probe.cpp)
  target_include_directories(korvex-thunk-probe PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(korvex-thunk-probe PRIVATE -Wall -Wextra -Werror)
  target_link_options(korvex-thunk-probe PRIVATE -static -static-libgcc -static-libstdc++)
endif()

# korvex-board.exe: the board emulator for Windows, from the same sources as
# the Linux program but for its platform layer. Included by
# cmake/windows.cmake; lands beside Korvex.dll in the build folder.
add_executable(korvex-board
  tools/board/main.cpp
  tools/board/platform_win32.cpp
  tools/board/window_win32.cpp
  tools/board/capture.cpp
  tools/board/decoder.cpp
  tools/board/font.cpp
  tools/board/log.cpp
  tools/board/model.cpp
  tools/board/png_writer.cpp
  tools/board/render.cpp
  tools/common/port_names.cpp
  platform/shared_rules.cpp
)
target_include_directories(korvex-board PRIVATE ${CMAKE_SOURCE_DIR})
# The C99 printf family of the MinGW runtime (%zu, %llu) on every Windows,
# rather than that of the system's msvcrt.dll.
target_compile_definitions(korvex-board PRIVATE __USE_MINGW_ANSI_STDIO=1)
target_compile_options(korvex-board PRIVATE -Wall -Wextra -Werror)
# Self-contained, as korvex-host is: zlib and the compiler runtime linked in,
# only system DLLs imported.
find_library(KORVEX_ZLIB_STATIC NAMES libz.a REQUIRED)
# The window is plain GDI: user32 and gdi32, part of every Windows.
target_link_libraries(korvex-board PRIVATE ${KORVEX_ZLIB_STATIC} user32 gdi32)
target_link_options(korvex-board PRIVATE -mconsole -static -static-libgcc -static-libstdc++
  ${KORVEX_XP_LINK_OPTIONS})
target_compile_definitions(korvex-board PRIVATE ${KORVEX_XP_DEFINITIONS})

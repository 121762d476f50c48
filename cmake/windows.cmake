# Korvex.dll and the two tools run on Windows XP SP3 and every later version.
# windows.h then declares nothing newer, and the images say XP (subsystem
# 5.01; XP refuses a higher one) whatever the linker's default.
# tools/abicheck holds the imports to the list of XP's own functions.
set(KORVEX_XP_DEFINITIONS _WIN32_WINNT=0x0501 WINVER=0x0501)
set(KORVEX_XP_LINK_OPTIONS -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,1)

# Korvex.dll: the logic on the Win32 layer, exports from the module definition.
add_library(Korvex SHARED
  ${KORVEX_LOGIC_SOURCES}
  platform/win32/platform_win32.cpp
  platform/win32/dll_main.cpp
  platform/win32/version.rc
  Korvex.def
)
set_target_properties(Korvex PROPERTIES PREFIX "" OUTPUT_NAME Korvex)
target_include_directories(Korvex PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(Korvex PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${KORVEX_DRIVER_FLAGS}>)
target_compile_definitions(Korvex PRIVATE ${KORVEX_XP_DEFINITIONS})
# Only system DLLs may be imported: the compiler runtime is linked in.
# stdcall-fixup lets the undecorated names of the .def file bind to the
# decorated i686 symbols (_LCD_Init@0) without a warning.
target_link_options(Korvex PRIVATE -static -static-libgcc -static-libstdc++
  -Wl,--enable-stdcall-fixup ${KORVEX_XP_LINK_OPTIONS})

# Windows-side tools and Wine test programs, where they exist.
foreach(dir tools/host tools/board tools/settings tests/wine tests/window bench/wire)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/windows.cmake)
    include(${dir}/windows.cmake)
  endif()
endforeach()

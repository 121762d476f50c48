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
# Only system DLLs may be imported: the compiler runtime is linked in.
# stdcall-fixup lets the undecorated names of the .def file bind to the
# decorated i686 symbols (_LCD_Init@0) without a warning.
target_link_options(Korvex PRIVATE -static -static-libgcc -static-libstdc++
  -Wl,--enable-stdcall-fixup)

# Windows-side tools and Wine test programs, where they exist.
foreach(dir tools/host tools/board tests/wine tests/window bench/wire)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/windows.cmake)
    include(${dir}/windows.cmake)
  endif()
endforeach()

# korvex-wire-probe: full frames through Korvex.dll (its WriteFile import
# counted) or written straight to the port, for the wire benchmark. Included
# by cmake/windows.cmake; only the 64-bit build makes it, since only 64-bit
# Wine runs here.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  get_filename_component(KORVEX_WIRE_ROOT ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
  add_executable(korvex-wire-probe ${CMAKE_CURRENT_LIST_DIR}/wire_probe.cpp
    ${KORVEX_WIRE_ROOT}/platform/win32/platform_win32.cpp
    ${KORVEX_WIRE_ROOT}/platform/shared_rules.cpp)
  target_include_directories(korvex-wire-probe PRIVATE ${KORVEX_WIRE_ROOT})
  target_compile_options(korvex-wire-probe PRIVATE -O2 -Wall -Wextra -Werror)
  target_link_options(korvex-wire-probe PRIVATE -mconsole -static -static-libgcc -static-libstdc++)
endif()

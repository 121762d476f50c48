# The probe that plays the user of korvex-board.exe's window under Wine
# (window_test.cpp), in both builds.
add_executable(korvex-window-probe tests/window/window_probe.cpp)
target_compile_options(korvex-window-probe PRIVATE -Wall -Wextra -Werror)
target_link_options(korvex-window-probe PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(korvex-window-probe PRIVATE user32)

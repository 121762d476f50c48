# Native Linux build: the logic as a static library, one library per platform
# layer, and everything that runs here (tests, tools, benchmarks, fuzzers).
# The shared platform rules stand apart, so that the platform libraries can
# use them without a cycle between the logic and the platform.
set(KORVEX_RULES_SOURCE ${CMAKE_SOURCE_DIR}/platform/shared_rules.cpp)
set(KORVEX_CORE_SOURCES ${KORVEX_LOGIC_SOURCES} ${KORVEX_RESET_SOURCE})
list(REMOVE_ITEM KORVEX_CORE_SOURCES ${KORVEX_RULES_SOURCE})
add_library(korvex_platform_rules STATIC ${KORVEX_RULES_SOURCE})
target_include_directories(korvex_platform_rules PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(korvex_platform_rules PRIVATE ${KORVEX_DRIVER_FLAGS})

add_library(korvex_logic STATIC ${KORVEX_CORE_SOURCES})
target_include_directories(korvex_logic PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(korvex_logic PRIVATE ${KORVEX_DRIVER_FLAGS})

add_library(korvex_platform_posix STATIC
  platform/posix/platform_posix.cpp
  platform/posix/profile_file.cpp
)
target_include_directories(korvex_platform_posix PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(korvex_platform_posix PRIVATE ${KORVEX_DRIVER_FLAGS})

add_library(korvex_platform_recording STATIC platform/recording/recording.cpp)
target_include_directories(korvex_platform_recording PUBLIC ${CMAKE_SOURCE_DIR})

target_link_libraries(korvex_platform_posix PUBLIC korvex_platform_rules)
target_link_libraries(korvex_platform_recording PUBLIC korvex_platform_rules)

# The driver on the POSIX layer: the session tests run it on a real pty and
# real files (no tool uses it; the tools drive the Windows builds).
add_library(korvex_posix INTERFACE)
target_link_libraries(korvex_posix INTERFACE korvex_logic korvex_platform_posix util)

# The driver on the recording double, for unit tests.
add_library(korvex_recorded INTERFACE)
target_link_libraries(korvex_recorded INTERFACE korvex_logic korvex_platform_recording)

# Where the cross builds put their artefacts, for the tests that check them.
set(KORVEX_WIN32_DIR ${CMAKE_SOURCE_DIR}/build/win32 CACHE PATH "i686 build folder")
set(KORVEX_WIN64_DIR ${CMAKE_SOURCE_DIR}/build/win64 CACHE PATH "x86_64 build folder")

foreach(dir tests tools/board tools/settings bench fuzz)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

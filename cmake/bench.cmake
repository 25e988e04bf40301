# Tools of the benchmark run by hand (scripts/bench.sh), not by the tests: the floors it
# measures the program against and the driver of its rounds. Built into build/windows/bench.
set(QUARN_BENCH_DIR ${CMAKE_BINARY_DIR}/bench)

# A tray program with nothing else: the floor of start-up, memory and idle.
# With "startup-work 4g|5g" it first does the work the program's start-up cannot leave out.
add_executable(minimal_tray WIN32 tests/bench/minimal_tray.cpp tests/bench/floor_client.cpp)
target_compile_definitions(minimal_tray PRIVATE UNICODE _UNICODE)
target_include_directories(minimal_tray PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(minimal_tray PRIVATE shell32 user32 ole32 oleaut32 runtimeobject cfgmgr32)
target_link_options(minimal_tray PRIVATE ${QUARN_WIN_LINK_OPTIONS} -municode -mwindows)

# Loaded into the program by a window hook: notes the worker's window message in the journal.
add_library(window_message_note SHARED tests/bench/window_message_note.cpp)
set_target_properties(window_message_note PROPERTIES PREFIX "")
target_link_libraries(window_message_note PRIVATE quarn_emu_channel user32)
target_link_options(window_message_note PRIVATE ${QUARN_WIN_LINK_OPTIONS})

add_executable(bench_driver tests/bench/bench_driver.cpp tests/bench/floor_client.cpp)
target_include_directories(bench_driver PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(bench_driver PRIVATE quarn_emu_channel shell32 user32 ole32 oleaut32 runtimeobject)
target_link_options(bench_driver PRIVATE ${QUARN_WIN_LINK_OPTIONS} -municode)

set_target_properties(minimal_tray window_message_note bench_driver PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${QUARN_BENCH_DIR})
add_dependencies(bench_driver minimal_tray window_message_note QuarnVelmora tray_probe)

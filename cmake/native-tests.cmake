# Native tests of the portable core (plain, ASan+UBSan or TSan by preset) and the benchmark.
find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(core_tests ${QUARN_CORE_TEST_SOURCES})
target_link_libraries(core_tests PRIVATE quarn_core quarn_stop GTest::gtest_main)
gtest_discover_tests(core_tests)

add_subdirectory(emulator)
add_executable(emulator_model_tests emulator/model/modem_model_test.cpp)
target_link_libraries(emulator_model_tests PRIVATE quarn_emu_model GTest::gtest_main)
gtest_discover_tests(emulator_model_tests)

add_executable(concurrency_tests trace/trace_concurrency_test.cpp monitor/sim_status_worker_concurrency_test.cpp
  monitor/device_monitor_concurrency_test.cpp modem/mbim_command_concurrency_test.cpp)
target_link_libraries(concurrency_tests PRIVATE quarn_core GTest::gtest_main)
gtest_discover_tests(concurrency_tests PROPERTIES LABELS concurrency)

find_package(benchmark QUIET)
if(benchmark_FOUND AND NOT QUARN_SANITIZE)
  add_executable(trace_bench trace/trace_bench.cpp)
  target_link_libraries(trace_bench PRIVATE quarn_core benchmark::benchmark)
endif()

# The source entry that set-up derives from apt's configuration.
if(NOT QUARN_SANITIZE)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME apt_source_entry COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/apt_source_entry_test.py)
  set_tests_properties(apt_source_entry PROPERTIES WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/scripts)
endif()

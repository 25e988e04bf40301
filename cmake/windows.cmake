# QuarnVelmora.exe, its Windows adapters, and the tests that run under Wine.
set(QUARN_WIN_LINK_OPTIONS -static -static-libgcc -static-libstdc++)
set(QUARN_WIN_LIBS advapi32 shell32 user32 version ole32 oleaut32 cfgmgr32 runtimeobject)

add_library(quarn_win STATIC
  trace/win/trace_etw.cpp
  app/win/app_window.cpp
  app/win/platform_ports.cpp
  app/win/single_instance.cpp
  monitor/win/cfgmgr_registry.cpp
  monitor/win/sim_status_event.cpp
  monitor/win/modem_status_winrt.cpp
  monitor/win/power_notifications.cpp
  channels/win/account_watcher_win.cpp
  channels/win/pipe_server_win.cpp
  modem/win/mbim_winrt.cpp
  mbnapi/win/mbn_module.cpp
  mbnapi/win/image_fixups.cpp
  mbnapi/win/mbn_exports.cpp
  mbnapi/win/mbn_discovery.cpp
  mbnapi/win/mbn_connection.cpp
  mbnapi/win/mbn_lifecycle.cpp
  mbnapi/win/mbn_command_session.cpp
  mbnapi/win/mbn_sinks.cpp
  mbnapi/win/mbn_state_query.cpp
)
target_link_libraries(quarn_win PUBLIC quarn_core ${QUARN_WIN_LIBS})
target_compile_definitions(quarn_win PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

# One version for everything: the project's version is the version resource's and the
# package's ProductVersion. Windows Installer compares only the first three fields, so a
# fourth one that changes alone would make a package that does not upgrade the last one.
if(PROJECT_VERSION_TWEAK AND NOT PROJECT_VERSION_TWEAK EQUAL 0)
  message(FATAL_ERROR "project version ${PROJECT_VERSION}: the installer ignores the fourth field; change the first three")
endif()
if(PROJECT_VERSION_MAJOR GREATER 255 OR PROJECT_VERSION_MINOR GREATER 255 OR PROJECT_VERSION_PATCH GREATER 65535)
  message(FATAL_ERROR "project version ${PROJECT_VERSION}: Windows Installer takes at most 255.255.65535")
endif()
function(quarn_version_resource target major minor patch)
  target_compile_definitions(${target} PRIVATE QUARN_VERSION_MAJOR=${major} QUARN_VERSION_MINOR=${minor}
                             QUARN_VERSION_PATCH=${patch} QUARN_VERSION_BUILD=0)
endfunction()

set(QUARN_RESOURCES ${CMAKE_SOURCE_DIR}/app/res/QuarnVelmora.rc)
set_source_files_properties(${QUARN_RESOURCES} PROPERTIES
  OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/app/res/tray_icon.ico;${CMAKE_SOURCE_DIR}/app/res/QuarnVelmora.exe.manifest;${CMAKE_SOURCE_DIR}/app/res/resource.h")

# The release executable's own code carries debug information, which the build moves into
# QuarnVelmora.exe.debug (below) so that a crash address can be symbolised.
foreach(target quarn_core quarn_win tinyxml2)
  target_compile_options(${target} PRIVATE -g)
endforeach()

# The module-definition file exports the Mobile Broadband wrapper under its decorated names
# (CMake hands .def sources to the linker only for DLLs with this toolchain).
set(QUARN_EXPORTS_DEF ${CMAKE_SOURCE_DIR}/mbnapi/mbn_exports.def)

# QuarnVelmora.exe as shipped: stripped, with a debug link to QuarnVelmora.exe.debug beside
# it (gdb and addr2line follow the link to find the debug information).
function(quarn_release_executable target)
  add_executable(${target} WIN32 app/win/main.cpp ${QUARN_RESOURCES})
  target_compile_options(${target} PRIVATE -g)
  target_link_libraries(${target} PRIVATE quarn_win)
  target_link_options(${target} PRIVATE ${QUARN_WIN_LINK_OPTIONS} -municode -mwindows ${QUARN_EXPORTS_DEF})
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${QUARN_EXPORTS_DEF})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
    COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:${target}>
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

quarn_release_executable(QuarnVelmora)
quarn_version_resource(QuarnVelmora ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH})
add_test(NAME release_debug_info COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/check_release_debug_info.sh $<TARGET_FILE:QuarnVelmora>)

add_subdirectory(emulator)

# GoogleTest from Debian's sources, built for the target.
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The portable core's tests again, now on the Windows C runtime (wide paths, printf).
add_executable(core_tests ${QUARN_CORE_TEST_SOURCES})
target_link_libraries(core_tests PRIVATE quarn_core quarn_stop gtest_main)
target_link_options(core_tests PRIVATE ${QUARN_WIN_LINK_OPTIONS})
add_test(NAME core_tests_wine COMMAND core_tests)

# Real windows, menus, resources and the notification area (needs an X display).
add_executable(window_tests app/win/app_window_test.cpp trace/win/trace_etw_test.cpp ${QUARN_RESOURCES})
target_link_libraries(window_tests PRIVATE quarn_win gtest_main)
quarn_version_resource(window_tests ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH})
target_compile_definitions(window_tests PRIVATE QUARN_PROJECT_VERSION="${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
target_link_options(window_tests PRIVATE ${QUARN_WIN_LINK_OPTIONS})
add_test(NAME window_tests_wine COMMAND window_tests)

# Tools that drive the release executable from outside in the end-to-end tests.
add_executable(tray_probe tests/e2e/tray_probe.cpp)
target_compile_definitions(tray_probe PRIVATE UNICODE _UNICODE)
target_link_libraries(tray_probe PRIVATE quarn_emu_channel shell32 user32)
target_link_options(tray_probe PRIVATE ${QUARN_WIN_LINK_OPTIONS} -municode)
# The soak's census of the program's handles and threads, from outside.
add_executable(proc_census tests/tools/proc_census.cpp)
target_link_libraries(proc_census PRIVATE ntdll)
target_link_options(proc_census PRIVATE ${QUARN_WIN_LINK_OPTIONS} -municode)

include(${CMAKE_SOURCE_DIR}/cmake/bench.cmake)

add_test(NAME e2e_wine COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/run_e2e.sh $<TARGET_FILE:QuarnVelmora> $<TARGET_FILE:tray_probe>
  ${CMAKE_BINARY_DIR}/emulator)
set_tests_properties(e2e_wine PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED emulator_prefix)
# The same run with a server that ends at once: it fails within 30 s and says why in one line.
add_test(NAME e2e_emulator_down COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/check_emulator_down.sh $<TARGET_FILE:QuarnVelmora>
  $<TARGET_FILE:tray_probe> ${CMAKE_BINARY_DIR}/emulator $<TARGET_FILE:console_child>)
set_tests_properties(e2e_emulator_down PROPERTIES TIMEOUT 60 FIXTURES_REQUIRED emulator_prefix)

# Checks the compat headers against the recorded API facts: compat/api_facts.py turns each
# facts file into checks the test compiles (a mismatch breaks the build) and runs (vtable
# slots, __uuidof). A checkout without the facts folder builds the test without them, and
# the test reports itself skipped.
set(QUARN_WINAPI_FACTS_DIR ${CMAKE_SOURCE_DIR}/../shared/winapi CACHE PATH "The recorded Windows API facts")
add_executable(declarations_test compat/declarations_test.cpp)
target_include_directories(declarations_test PRIVATE ${CMAKE_SOURCE_DIR})
if(EXISTS ${QUARN_WINAPI_FACTS_DIR}/mbn-com.md AND EXISTS ${QUARN_WINAPI_FACTS_DIR}/winrt-network-operators.md)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  foreach(facts_header mbn-com:mbn_api winrt-network-operators:winrt_network_operators)
    string(REPLACE ":" ";" pair ${facts_header})
    list(GET pair 0 facts)
    list(GET pair 1 header)
    set(generated ${CMAKE_BINARY_DIR}/api_facts/${facts}.inc)
    add_custom_command(OUTPUT ${generated}
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/compat/api_facts.py ${QUARN_WINAPI_FACTS_DIR}/${facts}.md
              ${CMAKE_SOURCE_DIR}/compat/${header}.h ${generated}
      DEPENDS ${CMAKE_SOURCE_DIR}/compat/api_facts.py ${QUARN_WINAPI_FACTS_DIR}/${facts}.md ${CMAKE_SOURCE_DIR}/compat/${header}.h
      VERBATIM)
    target_sources(declarations_test PRIVATE ${generated})
  endforeach()
  target_include_directories(declarations_test PRIVATE ${CMAKE_BINARY_DIR}/api_facts)
  target_compile_definitions(declarations_test PRIVATE QUARN_API_FACTS)
else()
  message(STATUS "No API facts in ${QUARN_WINAPI_FACTS_DIR}: declarations_wine will be skipped")
endif()
target_link_libraries(declarations_test PRIVATE gtest_main ole32 oleaut32 runtimeobject)
target_link_options(declarations_test PRIVATE ${QUARN_WIN_LINK_OPTIONS})
add_test(NAME declarations_wine COMMAND declarations_test)
set_tests_properties(declarations_wine PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")

# ---- The console command runner and its Wine tests ----
target_sources(quarn_win PRIVATE modem/win/execute_cmd.cpp)

# A console child whose output the runner's tests choose by argument.
add_executable(console_child tests/tools/console_child.cpp)
target_link_options(console_child PRIVATE ${QUARN_WIN_LINK_OPTIONS})

# The test starts console_child.exe from its own directory, so both go to the build root.
add_executable(execute_cmd_test modem/win/execute_cmd_test.cpp)
target_link_libraries(execute_cmd_test PRIVATE quarn_win gtest_main)
target_link_options(execute_cmd_test PRIVATE ${QUARN_WIN_LINK_OPTIONS})
set_target_properties(console_child execute_cmd_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(execute_cmd_test console_child)
add_test(NAME execute_cmd_wine COMMAND execute_cmd_test)

# A test program that crashes ends at once with its exception code (the prefix starts no
# debugger), so ctest reports it instead of waiting for the time-out.
add_test(NAME wine_crash_ends_at_once COMMAND console_child crash)
set_tests_properties(wine_crash_ends_at_once PROPERTIES WILL_FAIL TRUE TIMEOUT 30)

# The product's modem path against the emulator: runs beside the emulator's programs.
add_executable(modem_path_test modem/win/modem_path_test.cpp)
target_link_libraries(modem_path_test PRIVATE quarn_win quarn_emu_channel gtest_main)
target_link_options(modem_path_test PRIVATE ${QUARN_WIN_LINK_OPTIONS})
set_target_properties(modem_path_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/emulator)
add_dependencies(modem_path_test modem_emu_server quarn_emu_winrt netsh_standin)
add_test(NAME modem_path_wine COMMAND modem_path_test)
set_tests_properties(modem_path_wine PROPERTIES FIXTURES_REQUIRED emulator_prefix TIMEOUT 300)

# The device monitor against the emulator's Configuration Manager and power notifications,
# which the override puts in place of the system's cfgmgr32.dll and powrprof.dll beside it.
add_executable(device_monitor_wine_test monitor/win/device_monitor_wine_test.cpp)
target_link_libraries(device_monitor_wine_test PRIVATE quarn_win quarn_emu_channel gtest_main)
target_link_options(device_monitor_wine_test PRIVATE ${QUARN_WIN_LINK_OPTIONS})
set_target_properties(device_monitor_wine_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/emulator)
add_dependencies(device_monitor_wine_test modem_emu_server quarn_emu_cfgmgr quarn_emu_powrprof)
add_test(NAME device_monitor_wine COMMAND device_monitor_wine_test)
set_tests_properties(device_monitor_wine PROPERTIES FIXTURES_REQUIRED emulator_prefix TIMEOUT 300
  ENVIRONMENT "WINEDLLOVERRIDES=cfgmgr32,powrprof=n,b")

add_dependencies(tray_probe modem_emu_server modem_emu_ctl quarn_emu_winrt quarn_emu_mbn quarn_emu_cfgmgr quarn_emu_powrprof netsh_standin
  proc_census)
add_test(NAME e2e_eject_wine COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/run_eject_e2e.sh
  $<TARGET_FILE:QuarnVelmora> $<TARGET_FILE:tray_probe> ${CMAKE_BINARY_DIR}/emulator)
set_tests_properties(e2e_eject_wine PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED emulator_prefix)

add_executable(pipe_server_test channels/win/pipe_server_test.cpp)
target_link_libraries(pipe_server_test PRIVATE quarn_win gtest_main)
target_link_options(pipe_server_test PRIVATE ${QUARN_WIN_LINK_OPTIONS})
add_test(NAME pipe_server_wine COMMAND pipe_server_test)
set_tests_properties(pipe_server_wine PROPERTIES TIMEOUT 300)

add_test(NAME e2e_status_wine COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/run_status_e2e.sh
  $<TARGET_FILE:QuarnVelmora> $<TARGET_FILE:tray_probe> ${CMAKE_BINARY_DIR}/emulator $<TARGET_FILE:StopQuarnVelmora>)
set_tests_properties(e2e_status_wine PROPERTIES TIMEOUT 600 FIXTURES_REQUIRED emulator_prefix)

# The account watcher's adapter against the emulator's Runtime classes.
add_executable(account_watcher_wine_test channels/win/account_watcher_wine_test.cpp)
target_link_libraries(account_watcher_wine_test PRIVATE quarn_win quarn_emu_channel gtest_main)
target_link_options(account_watcher_wine_test PRIVATE ${QUARN_WIN_LINK_OPTIONS})
set_target_properties(account_watcher_wine_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/emulator)
add_dependencies(account_watcher_wine_test modem_emu_server quarn_emu_winrt)
add_test(NAME account_watcher_wine COMMAND account_watcher_wine_test)
set_tests_properties(account_watcher_wine PROPERTIES FIXTURES_REQUIRED emulator_prefix TIMEOUT 300)

add_executable(sim_status_wine_test monitor/win/sim_status_wine_test.cpp)
target_link_libraries(sim_status_wine_test PRIVATE quarn_win quarn_emu_channel gtest_main)
target_link_options(sim_status_wine_test PRIVATE ${QUARN_WIN_LINK_OPTIONS})
set_target_properties(sim_status_wine_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/emulator)
add_dependencies(sim_status_wine_test modem_emu_server quarn_emu_winrt netsh_standin)
add_test(NAME sim_status_wine COMMAND sim_status_wine_test --gtest_filter=-FirstActivation.*)
# A first activation can fail only in a process that has found no factory yet.
add_test(NAME sim_status_activation_wine COMMAND sim_status_wine_test --gtest_filter=FirstActivation.*)
set_tests_properties(sim_status_wine sim_status_activation_wine PROPERTIES FIXTURES_REQUIRED emulator_prefix TIMEOUT 300)

# The Mobile Broadband wrapper against the emulator's COM classes, registered in the prefix.
add_executable(mbn_wrapper_test mbnapi/win/mbn_wrapper_test.cpp)
target_link_libraries(mbn_wrapper_test PRIVATE quarn_win quarn_emu_channel gtest_main)
target_link_options(mbn_wrapper_test PRIVATE ${QUARN_WIN_LINK_OPTIONS})
set_target_properties(mbn_wrapper_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/emulator)
add_dependencies(mbn_wrapper_test modem_emu_server)
if(TARGET quarn_emu_mbn)
  add_dependencies(mbn_wrapper_test quarn_emu_mbn)
endif()
add_test(NAME mbn_wrapper_wine COMMAND mbn_wrapper_test)
set_tests_properties(mbn_wrapper_wine PROPERTIES FIXTURES_REQUIRED emulator_prefix TIMEOUT 300)

# The exports under the names the Microsoft C++ ABI gives their signatures.
add_test(NAME export_names COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/check_export_names.sh $<TARGET_FILE:QuarnVelmora>)

# An outside program that loads the executable's exports, and the end-to-end run with it.
add_executable(mbn_caller tests/e2e/mbn_caller.cpp)
target_link_libraries(mbn_caller PRIVATE ole32)
target_link_options(mbn_caller PRIVATE ${QUARN_WIN_LINK_OPTIONS} -municode)
add_dependencies(mbn_caller QuarnVelmora tray_probe)
add_test(NAME e2e_mbn_wine COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/run_mbn_e2e.sh
  $<TARGET_FILE:QuarnVelmora> $<TARGET_FILE:tray_probe> ${CMAKE_BINARY_DIR}/emulator $<TARGET_FILE:mbn_caller>)
set_tests_properties(e2e_mbn_wine PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED emulator_prefix)

# ---- Loading the executable as a library: the fix-ups on test images built for them ----
# The test and its images share a directory, where the fix-up's LoadLibraryA finds the held
# import (the directory of the test program is searched first).
set(QUARN_FIXUP_DIR ${CMAKE_BINARY_DIR}/fixups)
enable_language(ASM)

# Page-straddling relocations in code, data and read-only data; no C runtime. It asks for the
# test program's own base, so it always loads elsewhere and has its relocations to apply.
add_executable(fixup_sample tests/tools/fixup_sample.S)
set_target_properties(fixup_sample PROPERTIES LINKER_LANGUAGE C)
target_link_options(fixup_sample PRIVATE -nostdlib -Wl,--entry=sample_entry -Wl,--dynamicbase
  -Wl,--image-base=0x140000000)
target_link_libraries(fixup_sample PRIVATE kernel32)

# The wrapper's exports with an import that holds its loading until the test lets go...
add_library(quarn_fixup_held SHARED tests/tools/fixup_held_import.cpp)
set_target_properties(quarn_fixup_held PROPERTIES PREFIX "")
target_link_options(quarn_fixup_held PRIVATE ${QUARN_WIN_LINK_OPTIONS})
add_executable(fixup_exports_held tests/tools/fixup_exports_image.cpp)
target_link_libraries(fixup_exports_held PRIVATE quarn_win quarn_fixup_held)
target_link_options(fixup_exports_held PRIVATE ${QUARN_WIN_LINK_OPTIONS} ${QUARN_EXPORTS_DEF})

# ... and with an import DLL that exists nowhere (only its import library is made).
find_program(QUARN_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
set(QUARN_FIXUP_ABSENT_LIB ${CMAKE_BINARY_DIR}/libquarn_fixup_absent.a)
add_custom_command(OUTPUT ${QUARN_FIXUP_ABSENT_LIB}
  COMMAND ${QUARN_DLLTOOL} --input-def ${CMAKE_SOURCE_DIR}/tests/tools/fixup_absent_import.def
          --output-lib ${QUARN_FIXUP_ABSENT_LIB}
  DEPENDS ${CMAKE_SOURCE_DIR}/tests/tools/fixup_absent_import.def)
add_custom_target(quarn_fixup_absent_lib DEPENDS ${QUARN_FIXUP_ABSENT_LIB})
add_executable(fixup_exports_absent tests/tools/fixup_exports_image.cpp)
add_dependencies(fixup_exports_absent quarn_fixup_absent_lib)
target_link_libraries(fixup_exports_absent PRIVATE quarn_win ${QUARN_FIXUP_ABSENT_LIB})
target_link_options(fixup_exports_absent PRIVATE ${QUARN_WIN_LINK_OPTIONS} ${QUARN_EXPORTS_DEF})
set_target_properties(fixup_exports_held fixup_exports_absent PROPERTIES LINK_DEPENDS ${QUARN_EXPORTS_DEF})

add_executable(image_fixups_test mbnapi/win/image_fixups_test.cpp)
target_link_libraries(image_fixups_test PRIVATE quarn_win gtest_main)
target_link_options(image_fixups_test PRIVATE ${QUARN_WIN_LINK_OPTIONS})
add_dependencies(image_fixups_test fixup_sample fixup_exports_held fixup_exports_absent)
set_target_properties(image_fixups_test fixup_sample quarn_fixup_held fixup_exports_held fixup_exports_absent
  PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QUARN_FIXUP_DIR})
add_test(NAME image_fixups_wine COMMAND image_fixups_test)
set_tests_properties(image_fixups_wine PROPERTIES TIMEOUT 300)

# ---- The Windows Installer package (deploy/) ----
# The stopper that the package runs before files are replaced or removed.
add_executable(StopQuarnVelmora WIN32 deploy/win/stop_quarn_velmora.cpp)
target_link_libraries(StopQuarnVelmora PRIVATE quarn_stop quarn_win shell32 wtsapi32 userenv)
target_compile_definitions(StopQuarnVelmora PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_options(StopQuarnVelmora PRIVATE ${QUARN_WIN_LINK_OPTIONS} -municode -mwindows -s)

set(QUARN_SIGN_CERT "" CACHE FILEPATH "Authenticode certificate (PEM) for the package and its executables; empty: unsigned")
set(QUARN_SIGN_KEY "" CACHE FILEPATH "The private key (PEM) of QUARN_SIGN_CERT")
set(QUARN_PACKAGE_INPUTS
  ${CMAKE_SOURCE_DIR}/deploy/QuarnVelmora.wxs ${CMAKE_SOURCE_DIR}/deploy/QuarnVelmora.wprp
  ${CMAKE_SOURCE_DIR}/app/demo/QuarnVelmora.exe.config
  ${CMAKE_SOURCE_DIR}/deploy/build_package.sh ${CMAKE_SOURCE_DIR}/deploy/sign.sh)

# quarn_package_command(OUTPUT VERSION EXE_TARGET [signing arguments]): the package of the
# release executable EXE_TARGET with the stopper, the default settings and the trace profile.
function(quarn_package output version exe_target)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_SOURCE_DIR}/deploy/build_package.sh --version ${version}
            --exe $<TARGET_FILE:${exe_target}> --stopper $<TARGET_FILE:StopQuarnVelmora>
            --config ${CMAKE_SOURCE_DIR}/app/demo/QuarnVelmora.exe.config
            --profile ${CMAKE_SOURCE_DIR}/deploy/QuarnVelmora.wprp --out ${output} ${ARGN}
    DEPENDS ${exe_target} StopQuarnVelmora ${QUARN_PACKAGE_INPUTS}
    VERBATIM)
endfunction()

set(QUARN_PACKAGE ${CMAKE_BINARY_DIR}/package/QuarnVelmora-${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.msi)
set(QUARN_SIGN_ARGS "")
if(QUARN_SIGN_CERT OR QUARN_SIGN_KEY)
  if(NOT EXISTS "${QUARN_SIGN_CERT}" OR NOT EXISTS "${QUARN_SIGN_KEY}")
    message(FATAL_ERROR "signing needs both QUARN_SIGN_CERT and QUARN_SIGN_KEY as existing files")
  endif()
  set(QUARN_SIGN_ARGS --cert ${QUARN_SIGN_CERT} --key ${QUARN_SIGN_KEY})
endif()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
quarn_package(${QUARN_PACKAGE} ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH} QuarnVelmora ${QUARN_SIGN_ARGS})
add_custom_target(quarn_package ALL DEPENDS ${QUARN_PACKAGE})

# For the upgrade test only: the same program one patch version on, in its own package.
math(EXPR QUARN_NEXT_PATCH "${PROJECT_VERSION_PATCH} + 1")
quarn_release_executable(QuarnVelmora_next)
quarn_version_resource(QuarnVelmora_next ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${QUARN_NEXT_PATCH})
set_target_properties(QuarnVelmora_next PROPERTIES OUTPUT_NAME QuarnVelmora RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/upgrade-test)
set(QUARN_NEXT_PACKAGE ${CMAKE_BINARY_DIR}/upgrade-test/QuarnVelmora-${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${QUARN_NEXT_PATCH}.msi)
quarn_package(${QUARN_NEXT_PACKAGE} ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${QUARN_NEXT_PATCH} QuarnVelmora_next)
add_custom_target(quarn_next_package ALL DEPENDS ${QUARN_NEXT_PACKAGE})
# ... and one patch version further, whose install fails after the stop when the test asks
# (the rollback test), with the same program: an equal file version is left in place.
math(EXPR QUARN_FAILING_PATCH "${QUARN_NEXT_PATCH} + 1")
set(QUARN_FAILING_PACKAGE ${CMAKE_BINARY_DIR}/upgrade-test/QuarnVelmora-${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${QUARN_FAILING_PATCH}.msi)
quarn_package(${QUARN_FAILING_PACKAGE} ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${QUARN_FAILING_PATCH} QuarnVelmora_next
  --test-failure QUARN_TEST_FAIL_AFTER_STOP)
add_custom_target(quarn_failing_package ALL DEPENDS ${QUARN_FAILING_PACKAGE})

# An instance that ignores WM_CLOSE, for the stopper's deadline.
add_executable(stubborn_instance WIN32 tests/tools/stubborn_instance.cpp)
target_link_options(stubborn_instance PRIVATE ${QUARN_WIN_LINK_OPTIONS} -municode -mwindows)

# Install, start from Program Files, upgrade while running, uninstall, under Wine's msiexec.
add_test(NAME e2e_package_wine COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/run_package_e2e.sh
  $<TARGET_FILE:QuarnVelmora> $<TARGET_FILE:tray_probe> ${CMAKE_BINARY_DIR}/emulator ${QUARN_PACKAGE} ${QUARN_NEXT_PACKAGE}
  ${QUARN_FAILING_PACKAGE} $<TARGET_FILE:stubborn_instance>)
set_tests_properties(e2e_package_wine PROPERTIES TIMEOUT 600 FIXTURES_REQUIRED emulator_prefix)

find_package(Python3 COMPONENTS Interpreter REQUIRED)
# The tables that decide what the package does, and the files it carries.
add_test(NAME package_tables COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/deploy/check_package.py
  ${QUARN_PACKAGE} ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
# Signing with a throw-away certificate (the upgrade test's package is never signed).
add_test(NAME package_signing COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/check_signing.sh
  $<TARGET_FILE:QuarnVelmora> $<TARGET_FILE:StopQuarnVelmora> ${QUARN_NEXT_PACKAGE}
  ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${QUARN_NEXT_PATCH})

# The trace profile is well-formed and collects the provider and events the code writes.
add_test(NAME trace_profile COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/deploy/check_trace_profile.py
  ${CMAKE_SOURCE_DIR}/deploy/QuarnVelmora.wprp ${CMAKE_SOURCE_DIR}/trace/win/trace_etw.cpp ${CMAKE_SOURCE_DIR}/trace/trace.h)

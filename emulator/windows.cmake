# The emulator's Windows side: the server hosting the model, the control tool, the netsh
# stand-in and the facade DLLs.
set(EMU_LINK_OPTIONS -static -static-libgcc -static-libstdc++)

add_library(quarn_emu_channel STATIC ${CMAKE_CURRENT_LIST_DIR}/win/emu_channel.cpp)
target_include_directories(quarn_emu_channel PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(quarn_emu_channel PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN)

add_executable(modem_emu_server ${CMAKE_CURRENT_LIST_DIR}/win/modem_emu_server.cpp)
target_link_libraries(modem_emu_server PRIVATE quarn_emu_model quarn_emu_channel)
target_link_options(modem_emu_server PRIVATE ${EMU_LINK_OPTIONS})

add_executable(modem_emu_ctl ${CMAKE_CURRENT_LIST_DIR}/win/modem_emu_ctl.cpp)
target_link_libraries(modem_emu_ctl PRIVATE quarn_emu_channel)
target_link_options(modem_emu_ctl PRIVATE ${EMU_LINK_OPTIONS})

add_executable(netsh_standin ${CMAKE_CURRENT_LIST_DIR}/win/netsh_standin.cpp)
set_target_properties(netsh_standin PROPERTIES OUTPUT_NAME netsh)
target_link_libraries(netsh_standin PRIVATE quarn_emu_channel)
target_link_options(netsh_standin PRIVATE ${EMU_LINK_OPTIONS})

add_library(quarn_emu_winrt SHARED
  ${CMAKE_CURRENT_LIST_DIR}/win/winrt_facade.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win/winrt_facade_buffers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win/winrt_facade_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win/winrt_facade_modem.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win/winrt_facade_watcher.cpp)
set_target_properties(quarn_emu_winrt PROPERTIES PREFIX "")
target_link_libraries(quarn_emu_winrt PRIVATE quarn_emu_model quarn_emu_channel ole32 runtimeobject)
target_link_options(quarn_emu_winrt PRIVATE ${EMU_LINK_OPTIONS})

# The Mobile Broadband COM server, registered by CLSID in the test prefix.
add_library(quarn_emu_mbn SHARED
  ${CMAKE_CURRENT_LIST_DIR}/win/mbn_facade.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win/mbn_facade_plumbing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win/mbn_facade_interfaces.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win/mbn_facade_device_services.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win/mbn_facade_events.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win/mbn_facade.def)
set_target_properties(quarn_emu_mbn PROPERTIES PREFIX "")
target_link_libraries(quarn_emu_mbn PRIVATE quarn_emu_model quarn_emu_channel ole32 oleaut32 uuid)
target_link_options(quarn_emu_mbn PRIVATE ${EMU_LINK_OPTIONS})

# The control channel under Wine, with a server of its own (the facades are tested through the
# product's tests against them).
add_executable(emu_channel_test ${CMAKE_CURRENT_LIST_DIR}/win/emu_channel_test.cpp)
target_link_libraries(emu_channel_test PRIVATE quarn_emu_channel gtest_main)
target_link_options(emu_channel_test PRIVATE ${EMU_LINK_OPTIONS})
add_dependencies(emu_channel_test modem_emu_server)
add_test(NAME emulator_prefix_setup
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/emu-prefix.sh $<TARGET_FILE:quarn_emu_winrt> $<TARGET_FILE:netsh_standin>
          $<TARGET_FILE:quarn_emu_mbn>)
set_tests_properties(emulator_prefix_setup PROPERTIES FIXTURES_SETUP emulator_prefix)
add_test(NAME emu_channel_wine COMMAND emu_channel_test)
set_tests_properties(emu_channel_wine PROPERTIES TIMEOUT 300)

# Configuration Manager for the process under test: placed beside it as cfgmgr32.dll and
# chosen over the system's with WINEDLLOVERRIDES=cfgmgr32=n,b.
add_library(quarn_emu_cfgmgr SHARED ${CMAKE_CURRENT_LIST_DIR}/win/cfgmgr_facade.cpp ${CMAKE_CURRENT_LIST_DIR}/win/cfgmgr_facade.def)
set_target_properties(quarn_emu_cfgmgr PROPERTIES PREFIX "" OUTPUT_NAME cfgmgr32)
target_link_libraries(quarn_emu_cfgmgr PRIVATE quarn_emu_channel)
target_link_options(quarn_emu_cfgmgr PRIVATE ${EMU_LINK_OPTIONS})

# Suspend/resume notifications for the process under test, beside it as powrprof.dll
# (WINEDLLOVERRIDES=powrprof=n,b).
add_library(quarn_emu_powrprof SHARED ${CMAKE_CURRENT_LIST_DIR}/win/powrprof_facade.cpp ${CMAKE_CURRENT_LIST_DIR}/win/powrprof_facade.def)
set_target_properties(quarn_emu_powrprof PROPERTIES PREFIX "" OUTPUT_NAME powrprof)
target_link_libraries(quarn_emu_powrprof PRIVATE quarn_emu_channel)
target_link_options(quarn_emu_powrprof PRIVATE ${EMU_LINK_OPTIONS})

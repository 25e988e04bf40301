# The emulator's Windows side: the server hosting the model, the control tool, the netsh
# stand-in and the Windows Runtime facade DLL.
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

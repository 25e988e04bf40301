// The hidden window's messages: the one definition of these numbers for the system.
#pragma once

#include <cstdint>

#include "common/tray_icon_messages.h"  // WM_HIDE_ICON_CMD and WM_SHOW_ICON_CMD, from the SIM status worker

constexpr uint32_t WM_TRAY_NOTIFY = 0x0400 + 1;  // the icon's callback; lParam = mouse message
constexpr uint32_t WM_EXIT_CMD = 0x0400 + 4;     // from the pipe server
constexpr intptr_t EXIT_CMD_LPARAM = 0x0400 + 5;

constexpr wchar_t APP_WINDOW_CLASS[] = L"Quarn_VLMR_APP";

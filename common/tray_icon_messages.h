// The messages by which the SIM status worker tells the hidden window to hide or show the
// tray icon. They sit below both the worker (monitor/) and the window (app/), so that
// neither reaches up into the other's layer.
#pragma once

#include <cstdint>

constexpr uint32_t WM_HIDE_ICON_CMD = 0x0400 + 2;
constexpr uint32_t WM_SHOW_ICON_CMD = 0x0400 + 3;

// The worker sends the hide message plus its decision (0 hides, 1 shows).
static_assert(WM_SHOW_ICON_CMD == WM_HIDE_ICON_CMD + 1, "the show message follows the hide message");

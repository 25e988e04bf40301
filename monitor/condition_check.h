// The SIM status decision: whether an ejectable SIM is in use, so the icon shows.
#pragma once

#include <cstdint>

#include "common/platform_types.h"

// 1 when an ejectable SIM is in use; the worker's window message is 1026 plus this value.
using TrayIconStatus = uint32_t;
constexpr TrayIconStatus TRAY_ICON_HIDE = 0;
constexpr TrayIconStatus TRAY_ICON_SHOW = 1;

class ConditionCheck {
public:
    static ConditionCheck& GetInstance();

    // A decision on the calling thread. Without a modem status source there is no SIM
    // in use, so the answer is to hide.
    TrayIconStatus UpdateSystemTrayIconStatus();
    // Asks the worker for a new decision.
    void TriggerUpdateSystemTrayIconStatus();
    // Powers the SIM on when the 4G modem is present.
    void PowerOnSimOn4GPlatform();
};

// Body of the SIM status worker thread.
unsigned QUARN_STDCALL HandleUpdateSimStatusEvent(void* argument);

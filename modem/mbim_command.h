// AT commands to the modem through its vendor device service.
#pragma once

#include "common/platform_types.h"
#include "monitor/device_monitor.h"

class MBIMCommand {
public:
    // Powers the SIM of `platform` off. S_OK when the modem confirmed it.
    static QuarnHresult SendRemoveSimCard(ModulePlatform platform);
};

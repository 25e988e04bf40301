// The default modem's network device status, read through the Windows Runtime.
#pragma once

#include "monitor/condition_check.h"

class WinRtModemStatusReader final : public ModemStatusReader {
public:
    int32_t ReadNetworkDeviceStatus() override;
};

// Counts what a source of events asks of the SIM status side (the device monitor, the
// Mobile Broadband sink), from any thread.
#pragma once

#include <atomic>

#include "monitor/device_monitor.h"

class CountingRequests : public SimStatusRequests {
public:
    std::atomic<int> triggers{0};
    std::atomic<int> powerOns{0};
    void TriggerUpdateSystemTrayIconStatus() override { ++triggers; }
    void PowerOnSimOn4GPlatform() override { ++powerOns; }
};

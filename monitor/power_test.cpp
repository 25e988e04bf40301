#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/device_monitor.h"
#include "monitor/power_status.h"
#include "tests/support/trace_capture.h"

namespace {

class CountingRequests : public SimStatusRequests {
public:
    int triggers = 0;
    int releases = 0;
    void TriggerUpdateSystemTrayIconStatus() override { ++triggers; }
    void PowerOnSimOn4GPlatform() override {}
    void ReleaseHeldRequest() override { ++releases; }
};

struct PowerCase {
    const char* name;
    uint32_t type;
    bool present4G;
    bool present5G;
    uint32_t statusAfter;
    const char* line;  // nullptr: nothing logged
    int triggers;
    int releases;  // of requests held while suspended
};

class PowerCallbackTest : public ::testing::TestWithParam<PowerCase> {
protected:
    void SetUp() override { DeviceMonitor::Attach(nullptr, &requests); }
    void TearDown() override {
        DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState = 0;
        DeviceMonitor::Slot(DEVICE_SLOT_5G).DeviceState = 0;
        m_DevicePowerStatus = RESUMED;
        DeviceMonitor::Attach(nullptr, nullptr);
    }
    CountingRequests requests;
};

TEST_P(PowerCallbackTest, SetsTheStatusLogsAndTriggersAsTheTableSays) {
    const PowerCase& c = GetParam();
    DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState = c.present4G ? 1 : 0;
    DeviceMonitor::Slot(DEVICE_SLOT_5G).DeviceState = c.present5G ? 1 : 0;
    m_DevicePowerStatus = c.type == PBT_APMSUSPEND_TYPE ? RESUMED : SUSPENDED;
    const uint32_t before = m_DevicePowerStatus;
    TraceCapture trace;
    EXPECT_EQ(DeviceMonitor::PnpStatusNotifyCallback(nullptr, c.type, nullptr), 0u);
    EXPECT_EQ(m_DevicePowerStatus.load(), c.line == nullptr ? before : c.statusAfter);
    EXPECT_EQ(trace.Texts(), c.line == nullptr ? std::vector<std::string>{} : std::vector<std::string>{c.line});
    EXPECT_EQ(requests.triggers, c.triggers);
    EXPECT_EQ(requests.releases, c.releases);
}

INSTANTIATE_TEST_SUITE_P(
    Events, PowerCallbackTest,
    ::testing::Values(
        PowerCase{"Suspend", 0x4, true, false, SUSPENDED, "[INFO] DeviceMonitor::PnpStatusNotifyCallback : \tPBT_APMSUSPEND\n", 0, 0},
        PowerCase{"ResumeBySuspendNeverTriggers", 0x7, true, true, RESUMED,
                  "[INFO] DeviceMonitor::PnpStatusNotifyCallback : \tPBT_APMRESUMESUSPEND\n", 0, 1},
        PowerCase{"AutomaticResumeWith4G", 0x12, true, false, RESUMED,
                  "[INFO] DeviceMonitor::PnpStatusNotifyCallback : \tPBT_APMRESUMEAUTOMATIC\n", 1, 1},
        PowerCase{"AutomaticResumeWithBoth", 0x12, true, true, RESUMED,
                  "[INFO] DeviceMonitor::PnpStatusNotifyCallback : \tPBT_APMRESUMEAUTOMATIC\n", 1, 1},
        PowerCase{"AutomaticResumeWithoutModem", 0x12, false, false, RESUMED,
                  "[INFO] DeviceMonitor::PnpStatusNotifyCallback : \tPBT_APMRESUMEAUTOMATIC\n", 0, 1},
        PowerCase{"PowerSourceChangeIsIgnored", 0xA, true, false, 0, nullptr, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConsoleControl, LogsLogoffAndShutdownAndHandlesEverything) {
    TraceCapture trace;
    for (QuarnDword type = 0; type <= 6; ++type) {
        EXPECT_EQ(DeviceMonitor::HandlerPCRoutine(type), 1) << type;
    }
    EXPECT_EQ(trace.Texts(), (std::vector<std::string>{"[INFO] DeviceMonitor::HandlerPCRoutine : Current USER logoff...\n",
                                                       "[INFO] DeviceMonitor::HandlerPCRoutine : PC is shutting down...\n"}));
}

}  // namespace

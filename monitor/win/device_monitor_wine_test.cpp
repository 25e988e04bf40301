// The device monitor against the emulator under Wine: the Configuration Manager facade's
// interface list, its notifications on a thread of its own and the driver version.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "emulator/win/emu_channel.h"
#include "monitor/device_monitor.h"
#include "monitor/win/cfgmgr_registry.h"
#include "monitor/win/power_notifications.h"
#include "tests/support/counting_requests.h"
#include "tests/support/trace_capture.h"
#include "tests/support/win/emulator_process.h"
#include "tests/support/win/eventually.h"

namespace {

class DeviceMonitorWineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_TRUE(s_Emulator.Start());
        // Static: a notification thread may still be calling the monitor when a test ends.
        static CfgMgrRegistry registry;
        DeviceMonitor::Attach(&registry, &s_Listener);
    }
    static void TearDownTestSuite() { s_Emulator.Stop(); }
    void SetUp() override {
        ASSERT_EQ(EmuRequest("reset"), "ok");
        s_Listener.triggers = 0;
        s_Listener.powerOns = 0;
    }
    void Script(std::initializer_list<const char*> requests) {
        for (const char* request : requests) {
            ASSERT_EQ(EmuRequest(request), "ok") << request;
        }
    }
    static void InitializeBoth() {
        EXPECT_TRUE(DeviceMonitor::InitializeMonitor(DEVICE_SLOT_5G, &QUARN_GUID_DEVINTERFACE_NET,
                                                     L"PCI#VEN_14C3&DEV_4D75", L"QUARN_WWAN_NETADAPTER"));
        EXPECT_TRUE(DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET,
                                                     L"VID_5A3E&PID_0AC9&MI_00", L"CDC_MBIM_DEVICE"));
    }
    TraceCapture trace;
    static CountingRequests s_Listener;
    static EmulatorProcess s_Emulator;
};
CountingRequests DeviceMonitorWineTest::s_Listener;
EmulatorProcess DeviceMonitorWineTest::s_Emulator;

// The facade takes the 4G modem away right after start-up's second list call (the 4G
// slot's) and has the removal delivered before that call returns: the slot ends absent.
// First in the suite, so that no earlier registration makes list calls of its own.
TEST_F(DeviceMonitorWineTest, AModemGoingDuringStartIsNotLeftPresent) {
    Script({"modem 4g", "fault cm change-after list 2 none"});
    InitializeBoth();
    EXPECT_NE(EmuRequest("journal").find("modems become none after a list call"), std::string::npos);
    EXPECT_TRUE(Eventually([] { return DeviceMonitor::GetCurrentModulePlatform() == PLATFORM_INVALID; }))
        << "the slot kept a modem that went";
    EXPECT_TRUE(Eventually([&] { return s_Listener.triggers == 1; }));
    EXPECT_TRUE(trace.Contains("[INFO] DeviceMonitor::OnDeviceInterfaceRemoval : CM_NOTIFY_ACTION_DEVICEINTERFACE - CDC_MBIM_DEVICE REMOVAL\n"));
}

TEST_F(DeviceMonitorWineTest, TheMonitorFollowsModemsThroughTheConfigurationManager) {
    CountingRequests& listener = s_Listener;
    InitializeBoth();
    Script({"modem 4g"});
    EXPECT_TRUE(Eventually([] { return DeviceMonitor::GetCurrentModulePlatform() == PLATFORM_4G; }));
    EXPECT_TRUE(Eventually([&] { return listener.powerOns == 1; }));
    EXPECT_NE(std::wstring(DeviceMonitor::Slot(DEVICE_SLOT_4G).InterfaceId).find(L"USB#VID_5A3E"), std::wstring::npos);

    Script({"adapter add VPN0", "adapter remove VPN0"});
    Sleep(1500);
    EXPECT_EQ(listener.triggers, 1) << "other adapters coming and going change nothing";

    Script({"modem none"});
    EXPECT_TRUE(Eventually([] { return DeviceMonitor::GetCurrentModulePlatform() == PLATFORM_INVALID; }));
    EXPECT_TRUE(Eventually([&] { return listener.triggers == 2; }));
    EXPECT_TRUE(trace.Contains("[INFO] DeviceMonitor::OnDeviceInterfaceRemoval : CM_NOTIFY_ACTION_DEVICEINTERFACE - CDC_MBIM_DEVICE REMOVAL\n"));

    Script({"driver 5g 3.1.4.1", "modem 5g"});
    EXPECT_TRUE(Eventually([] { return DeviceMonitor::GetCurrentModulePlatform() == PLATFORM_5G; }));
    EXPECT_TRUE(Eventually([&] { return listener.powerOns == 2; }));
    EXPECT_EQ(listener.triggers, 3);
    EXPECT_EQ(std::wstring(DeviceMonitor::Slot(DEVICE_SLOT_5G).DriverVersion), L"3.1.4.1");
    EXPECT_TRUE(trace.Contains("[INFO] DeviceMonitor::OnDeviceInterfaceArrival : CM_NOTIFY_ACTION_DEVICEINTERFACE - QUARN_WWAN_NETADAPTER ARRIVAL\n"));
    EXPECT_TRUE(trace.Contains("[INFO] DeviceMonitor::OnDeviceInterfaceArrival : QUARN_WWAN_NETADAPTER: 3.1.4.1\n"));
}

// Start-up registers for suspend and resume and tear-down takes the registration away: both
// lines each time, and one unregistration however often it is asked for.
TEST_F(DeviceMonitorWineTest, ThePowerRegistrationIsTakenAwayOnce) {
    ASSERT_EQ(EmuRequest("journal clear"), "ok");
    DeviceMonitor::RegisterPowerNotification();
    ASSERT_NE(PowerNotificationHandle, nullptr) << "the emulator's powrprof.dll is not in use";
    TraceCapture capture;
    DeviceMonitor::UnRegisterPowerNotification();
    DeviceMonitor::UnRegisterPowerNotification();
    EXPECT_EQ(PowerNotificationHandle, nullptr);
    // Only the unregistration's own lines: the earlier tests' device registrations live on (as
    // the program's do), and the reset's removal of their modem reaches them on the
    // facade's thread at any moment, this one too.
    std::vector<std::string> lines;
    for (const std::string& line : capture.Texts()) {
        if (line.find("UnRegisterPowerNotification") != std::string::npos) {
            lines.push_back(line);
        }
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"[INFO] DeviceMonitor::UnRegisterPowerNotification : ++\n",
                                                         "[INFO] DeviceMonitor::UnRegisterPowerNotification : --\n",
                                                         "[INFO] DeviceMonitor::UnRegisterPowerNotification : ++\n",
                                                         "[INFO] DeviceMonitor::UnRegisterPowerNotification : --\n"}));
    const std::string journal = EmuRequest("journal");
    std::size_t unregistrations = 0;
    for (std::size_t at = journal.find("power unregister"); at != std::string::npos;
         at = journal.find("power unregister", at + 1)) {
        ++unregistrations;
    }
    EXPECT_EQ(unregistrations, 1u) << journal;
}

}  // namespace

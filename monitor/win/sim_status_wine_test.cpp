// The SIM status decision on Windows against the emulator: the default modem's status
// through the Windows Runtime, the slot through netsh or the modem.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "app/win/platform_ports.h"
#include "emulator/win/emu_channel.h"
#include "modem/mbim_command.h"
#include "monitor/condition_check.h"
#include "monitor/win/modem_status_winrt.h"
#include "monitor/win/sim_status_event.h"
#include "tests/support/trace_capture.h"
#include "tests/support/win/emulator_process.h"
#include "tests/support/win/eventually.h"
#include "tests/support/win/facade_objects.h"

namespace {

class NoWindow : public WindowMessenger {
public:
    void SendToAppWindow(uint32_t) override {}
};

class SlotsFromTheModem : public SimSlotQuery {
public:
    QuarnHresult GetSimSlot(uint32_t* slot, ModulePlatform platform) override {
        return MBIMCommand::GetSimSlot(slot, platform);
    }
};
class Mta : public ComApartment {
public:
    void JoinMultithreadedApartment() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
};

class NoPause : public Sleeper {
public:
    void SleepMs(uint32_t) override {}
};

// The decision on the machine's ports, with its pauses taken out.
struct Decisions {
    WinRtModemStatusReader modem;
    SlotsFromTheModem slots;
    NoPause pause;
    NoWindow window;
    Mta apartment;
    ConditionCheck check{CreateSimStatusEvent(), {&modem, &slots, &pause, &window, &apartment}};
};

class SimStatusWineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_TRUE(s_Emulator.Start());
        AttachPlatformPorts();
    }
    static void TearDownTestSuite() { s_Emulator.Stop(); }
    void SetUp() override { ASSERT_EQ(EmuRequest("reset"), "ok"); }
    void TearDown() override {
        DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState = 0;
        DeviceMonitor::Slot(DEVICE_SLOT_5G).DeviceState = 0;
    }
    static EmulatorProcess s_Emulator;
};
EmulatorProcess SimStatusWineTest::s_Emulator;

TEST_F(SimStatusWineTest, TheDefaultModemsStatusIsReadThroughTheRuntime) {
    WinRtModemStatusReader reader;
    try {
        reader.ReadNetworkDeviceStatus();
        ADD_FAILURE() << "no modem, yet a status";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "No modem object") << "the decision logs this text";
    }
    ASSERT_EQ(EmuRequest("modem 4g"), "ok");
    EXPECT_EQ(reader.ReadNetworkDeviceStatus(), 1);
    ASSERT_EQ(EmuRequest("sim absent"), "ok");
    EXPECT_EQ(reader.ReadNetworkDeviceStatus(), 2);
    ASSERT_EQ(EmuRequest("sim status 6"), "ok");
    EXPECT_EQ(reader.ReadNetworkDeviceStatus(), 6);
}

// A decision, with a modem and without, releases every Runtime object it took.
TEST_F(SimStatusWineTest, ADecisionReleasesEveryRuntimeObjectItTakes) {
    ASSERT_EQ(EmuRequest("modem 5g"), "ok");
    DeviceMonitor::Slot(DEVICE_SLOT_5G).DeviceState = 1;
    Decisions decisions;
    for (const char* modemPresent : {"modem 5g", "modem none"}) {
        ASSERT_EQ(EmuRequest(modemPresent), "ok");
        decisions.check.UpdateSystemTrayIconStatus();
        EXPECT_TRUE(Eventually([] { return FacadeObjects(RUNTIME_FACADE_DLL) == 0; }))
            << modemPresent << ": " << FacadeObjects(RUNTIME_FACADE_DLL) << " objects alive";
    }
}

// A process the modem's service will not serve: GetDefault answers E_ACCESSDENIED. The
// decision hides the icon, and the trace says which code the system gave.
TEST_F(SimStatusWineTest, AModemServiceThatRefusesTheProcessHidesTheIconAndTheCodeIsLogged) {
    ASSERT_EQ(EmuRequest("modem 4g"), "ok");
    ASSERT_EQ(EmuRequest("fault denied default"), "ok");
    DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState = 1;
    Decisions decisions;
    TraceCapture trace;
    EXPECT_EQ(decisions.check.UpdateSystemTrayIconStatus(), TRAY_ICON_HIDE);
    EXPECT_TRUE(trace.Contains("[ERROR] ConditionCheck::UpdateSystemTrayIconStatus : Catch unknown exception\n"));
    EXPECT_TRUE(trace.Contains("[ERROR] WinRtModemStatusReader::ReadNetworkDeviceStatus : modem status not read: 0x80070005\n"));
}

// Runs in a process of its own (ctest sim_status_activation_wine): the factory, once found,
// is kept for the life of the process, so only a first activation can fail.
class FirstActivation : public SimStatusWineTest {};

TEST_F(FirstActivation, ActivationThatFailsForAMomentIsTriedAgainAndTheIconShows) {
    ASSERT_EQ(EmuRequest("modem 5g"), "ok");
    ASSERT_EQ(EmuRequest("fault activation 2 modem"), "ok");
    DeviceMonitor::Slot(DEVICE_SLOT_5G).DeviceState = 1;
    Decisions decisions;
    EXPECT_EQ(decisions.check.UpdateSystemTrayIconStatus(), TRAY_ICON_SHOW) << "the third attempt finds the factory";
    EXPECT_NE(EmuRequest("journal").find("activation modem failed"), std::string::npos);
    ASSERT_EQ(EmuRequest("fault activation 1 modem"), "ok");
    EXPECT_EQ(decisions.modem.ReadNetworkDeviceStatus(), 1) << "the factory found is kept";
}

}  // namespace

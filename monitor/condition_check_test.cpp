#include "monitor/condition_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "modem/mbim_command.h"
#include "monitor/device_monitor.h"
#include "monitor/power_status.h"
#include "tests/support/modem_port_fakes.h"
#include "tests/support/sim_status_fakes.h"
#include "tests/support/trace_capture.h"

namespace {

class CountingEvent : public SimStatusEvent {
public:
    explicit CountingEvent(int* sets) : m_Sets(sets) {}
    void Set() override { ++*m_Sets; }
    void Reset() override {}
    bool Wait() override { return true; }

private:
    int* m_Sets;
};

FakeModemStatus g_UnusedModem;
FakeSlotQuery g_UnusedSlots;
RecordingSleeper g_UnusedSleeper;
RecordingWindow g_UnusedWindow;
SameApartment g_SameApartment;
const SimStatusPorts kUnusedPorts{&g_UnusedModem, &g_UnusedSlots, &g_UnusedSleeper, &g_UnusedWindow, &g_SameApartment};

TEST(ConditionCheckTrigger, SetsTheEventUnlessSuspendedOrMissing) {
    TraceCapture trace;
    int sets = 0;
    ConditionCheck check(std::make_unique<CountingEvent>(&sets), kUnusedPorts);
    check.TriggerUpdateSystemTrayIconStatus();
    EXPECT_EQ(sets, 1);
    EXPECT_TRUE(trace.Contains("[INFO] ConditionCheck::TriggerUpdateSystemTrayIconStatus : Set event: m_Event_SimStatus\n"));

    m_DevicePowerStatus = SUSPENDED;
    check.TriggerUpdateSystemTrayIconStatus();
    m_DevicePowerStatus = RESUMED;
    EXPECT_EQ(sets, 1) << "a request while suspended is dropped";
    EXPECT_TRUE(trace.Contains("[ERROR] ConditionCheck::TriggerUpdateSystemTrayIconStatus : ConditionCheck::TriggerUpdateSystemTrayIconStatus: "
                               "m_DevicePowerStatus is SUSPENDED!\n"));

    ConditionCheck without(nullptr, kUnusedPorts);
    without.TriggerUpdateSystemTrayIconStatus();
    EXPECT_TRUE(trace.Contains("[ERROR] ConditionCheck::TriggerUpdateSystemTrayIconStatus : ConditionCheck::TriggerUpdateSystemTrayIconStatus: "
                               "m_Event_SimStatus is null!\n"));
}

// Presents one modem (or none) to the device monitor.
class OneModemRegistry : public DeviceInterfaceRegistry {
public:
    std::wstring path;
    uint32_t GetInterfaceListSize(const QuarnGuid&, uint32_t* length) override {
        *length = static_cast<uint32_t>(path.size() + 2);
        return CM_RESULT_SUCCESS;
    }
    uint32_t GetInterfaceList(const QuarnGuid&, wchar_t* list, uint32_t length) override {
        std::wmemset(list, L'\0', length);
        std::wmemcpy(list, path.data(), path.size());
        return CM_RESULT_SUCCESS;
    }
    uint32_t RegisterNotification(const QuarnGuid&, DeviceMonitorContext*, void**) override { return CM_RESULT_SUCCESS; }
    uint32_t GetInstanceIdSize(const wchar_t*, uint32_t*) override { return 0x25; }
    uint32_t GetInstanceId(const wchar_t*, wchar_t*, uint32_t) override { return 0x25; }
    uint32_t LocateDevNode(const wchar_t*, uint32_t*) override { return 0x0D; }
    uint32_t GetDriverVersion(uint32_t, wchar_t*, uint32_t) override { return 0x25; }
};

class NoListener : public SimStatusRequests {
public:
    void TriggerUpdateSystemTrayIconStatus() override {}
    void PowerOnSimOn4GPlatform() override {}
};

class ScriptedTransport : public ModemTransport {
public:
    std::string answer = "\r\nOK\r\n";
    std::vector<std::string> payloads;
    QuarnHresult ExecuteMBIMCommand(uint32_t length, const uint8_t* data, uint32_t* responseLength, uint8_t* response,
                                    uint32_t) override {
        payloads.emplace_back(reinterpret_cast<const char*>(data), length);
        *responseLength = static_cast<uint32_t>(answer.size());
        std::memcpy(response, answer.data(), answer.size());
        return QUARN_S_OK;
    }
};

struct PowerOnCase {
    const wchar_t* interfacePath;
    const char* answer;
    std::size_t commandsSent;
    const char* line;
};

class PowerOnTest : public ::testing::TestWithParam<PowerOnCase> {};

TEST_P(PowerOnTest, PowersOnOnlyOnFourG) {
    OneModemRegistry registry;
    NoListener listener;
    ScriptedTransport transport;
    SameApartment apartment;
    NoConsole console;
    NoSleep sleeper;
    registry.path = GetParam().interfacePath;
    transport.answer = GetParam().answer;
    DeviceMonitor::Attach(&registry, &listener);
    MBIMCommand::Attach({&transport, &apartment, &console, &sleeper});
    DeviceMonitor::InitializeMonitor(DEVICE_SLOT_5G, &QUARN_GUID_DEVINTERFACE_NET, L"PCI#VEN_14C3&DEV_4D75", L"5G");
    DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, L"VID_5A3E&PID_0AC9&MI_00", L"4G");

    TraceCapture trace;
    ConditionCheck::PowerOnSimOn4GPlatform();
    EXPECT_EQ(transport.payloads.size(), GetParam().commandsSent);
    for (const std::string& payload : transport.payloads) {
        EXPECT_EQ(payload, "AT+XSIMPOWER=1,1\r\n");
    }
    const auto lines = trace.Texts();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "[INFO] ConditionCheck::PowerOnSimOn4GPlatform : ConditionCheck::PowerOnSimOn4GPlatform ++\n");
    EXPECT_EQ(lines.back(), "[INFO] ConditionCheck::PowerOnSimOn4GPlatform : ConditionCheck::PowerOnSimOn4GPlatform --\n");
    EXPECT_TRUE(trace.Contains(GetParam().line));
    DeviceMonitor::Attach(nullptr, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, PowerOnTest,
    ::testing::Values(
        PowerOnCase{L"\\\\?\\USB#VID_5A3E&PID_0AC9&MI_00#1#{x}", "\r\nOK\r\n", 1,
                    "[INFO] ConditionCheck::PowerOnSimOn4GPlatform : ConditionCheck::PowerOnSimOn4GPlatform: Power on sim command sent successfully\n"},
        PowerOnCase{L"\\\\?\\USB#VID_5A3E&PID_0AC9&MI_00#1#{x}", "\r\nERROR\r\n", 3,
                    "[WARNING] ConditionCheck::PowerOnSimOn4GPlatform : ConditionCheck::PowerOnSimOn4GPlatform: Failed to send power on sim "
                    "command. Error code: 0x80004005\n"},
        PowerOnCase{L"\\\\?\\PCI#VEN_14C3&DEV_4D75#1#{x}", "\r\nOK\r\n", 0,
                    "[INFO] ConditionCheck::PowerOnSimOn4GPlatform : ConditionCheck::PowerOnSimOn4GPlatform: Not a 4G platform. No action taken.\n"},
        PowerOnCase{L"\\\\?\\PCI#VEN_8086&DEV_15F3#1#{x}", "\r\nOK\r\n", 0,
                    "[INFO] ConditionCheck::PowerOnSimOn4GPlatform : ConditionCheck::PowerOnSimOn4GPlatform: Not a 4G platform. No action taken.\n"}));

}  // namespace

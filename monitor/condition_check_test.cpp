#include "monitor/condition_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "modem/mbim_command.h"
#include "monitor/device_monitor.h"
#include "tests/support/modem_port_fakes.h"
#include "tests/support/trace_capture.h"

namespace {

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
    int presentSlot;  // -1: no modem
    const char* answer;
    std::size_t commandsSent;
    const char* line;
};

class PowerOnTest : public ::testing::TestWithParam<PowerOnCase> {};

TEST_P(PowerOnTest, PowersOnOnlyOnFourG) {
    ScriptedTransport transport;
    SameApartment apartment;
    NoConsole console;
    NoSleep sleeper;
    transport.answer = GetParam().answer;
    MBIMCommand::Attach({&transport, &apartment, &console, &sleeper});
    for (int slot = 0; slot < DEVICE_SLOT_COUNT; ++slot) {
        DeviceMonitor::Slot(slot).DeviceState = slot == GetParam().presentSlot ? 1 : 0;
    }

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
    DeviceMonitor::Slot(GetParam().presentSlot < 0 ? 0 : GetParam().presentSlot).DeviceState = 0;
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, PowerOnTest,
    ::testing::Values(
        PowerOnCase{DEVICE_SLOT_4G, "\r\nOK\r\n", 1,
                    "[INFO] ConditionCheck::PowerOnSimOn4GPlatform : ConditionCheck::PowerOnSimOn4GPlatform: Power on sim command sent successfully\n"},
        PowerOnCase{DEVICE_SLOT_4G, "\r\nERROR\r\n", 3,
                    "[WARNING] ConditionCheck::PowerOnSimOn4GPlatform : ConditionCheck::PowerOnSimOn4GPlatform: Failed to send power on sim "
                    "command. Error code: 0x80004005\n"},
        PowerOnCase{DEVICE_SLOT_5G, "\r\nOK\r\n", 0,
                    "[INFO] ConditionCheck::PowerOnSimOn4GPlatform : ConditionCheck::PowerOnSimOn4GPlatform: Not a 4G platform. No action taken.\n"},
        PowerOnCase{-1, "\r\nOK\r\n", 0,
                    "[INFO] ConditionCheck::PowerOnSimOn4GPlatform : ConditionCheck::PowerOnSimOn4GPlatform: Not a 4G platform. No action taken.\n"}));

}  // namespace

// The modem path of the product against the emulator under Wine: the MBIM transport
// through the Windows Runtime facade, and the AT commands with the netsh stand-in in the
// system directory.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "app/win/platform_ports.h"
#include "emulator/win/emu_channel.h"
#include "modem/mbim_command.h"
#include "modem/win/mbim_winrt.h"
#include "tests/support/trace_capture.h"
#include "tests/support/win/eventually.h"
#include "tests/support/win/emulator_process.h"
#include "tests/support/win/facade_objects.h"

namespace {

using QUARN_MBIM_WINRT::MBIMWinRT;

bool JournalHas(const std::string& text) { return EmuRequest("journal").find(text) != std::string::npos; }

int JournalCount(const std::string& text) {
    const std::string journal = EmuRequest("journal");
    int count = 0;
    for (std::size_t at = journal.find(text); at != std::string::npos; at = journal.find(text, at + 1)) {
        ++count;
    }
    return count;
}

class ModemPathTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_TRUE(s_Emulator.Start());
        AttachPlatformPorts();
    }
    static void TearDownTestSuite() { s_Emulator.Stop(); }
    void SetUp() override { ASSERT_EQ(EmuRequest("reset"), "ok"); }
    void Script(std::initializer_list<const char*> requests) {
        for (const char* request : requests) {
            ASSERT_EQ(EmuRequest(request), "ok") << request;
        }
    }
    static HRESULT Send(const std::string& payload, std::vector<uint8_t>* response, uint32_t* length,
                        uint32_t timeoutMs = 1000) {
        return MBIMWinRT::ExecuteMBIMCommand(static_cast<uint32_t>(payload.size()),
                                             reinterpret_cast<const uint8_t*>(payload.data()), length, response->data(),
                                             timeoutMs);
    }

    TraceCapture trace;
    static EmulatorProcess s_Emulator;
};
EmulatorProcess ModemPathTest::s_Emulator;

TEST_F(ModemPathTest, TheTransportCarriesTheCommandAndBringsBackTheAnswer) {
    Script({"modem 4g", "slot 2"});
    std::vector<uint8_t> response(MBIM_PAYLOAD_LIMIT, 0xCC);
    uint32_t length = 0;
    EXPECT_EQ(Send("at+csus?\r\n", &response, &length), S_OK);
    EXPECT_EQ(std::string(response.begin(), response.begin() + length), "\r\n+CSUS: 1\r\n\r\nOK\r\n");
    EXPECT_TRUE(JournalHas("at cmd=1 len=10 \"at+csus?\\r\\n\""));

    Script({"fault answer empty"});
    std::fill(response.begin(), response.end(), 0xCC);
    length = 77;
    EXPECT_EQ(Send("at+csus?\r\n", &response, &length), S_OK);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(response[0], 0xCC) << "an empty answer leaves the buffer untouched";
}

TEST_F(ModemPathTest, PayloadsUpTo4096BytesAreSentAndLongerOnesRefused) {
    Script({"modem 5g"});
    std::vector<uint8_t> response(MBIM_PAYLOAD_LIMIT, 0);
    uint32_t length = 0;
    EXPECT_EQ(Send(std::string(4096, 'A'), &response, &length), S_OK);
    EXPECT_TRUE(JournalHas("len=4096 "));
    EXPECT_EQ(Send(std::string(4097, 'A'), &response, &length), E_FAIL);
    EXPECT_FALSE(JournalHas("len=4097 "));
    EXPECT_TRUE(trace.Contains("[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::ExecuteMBIMCommand : Catch runtime_error: ulCommandDataLength invalid!\n"));
}

// Every way the transport fails, as the Runtime's contracts allow: each takes its failure
// path, logs its lines (an hresult line is matched up to its message) and leaves the
// caller's response as it was.
TEST_F(ModemPathTest, EveryFailureOfTheTransportLogsItsLinesAndTouchesNoResponse) {
    const std::string execute = "[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::ExecuteMBIMCommand : ";
    const std::string wait = "[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::WaitMBIMCommandComplete : ";
    const std::string waitFailed = execute + "Catch runtime_error: WaitMBIMCommandComplete failed!\n";
    const struct {
        const char* fault;
        std::vector<std::string> lines;
    } cases[] = {
        {"modem none", {execute + "Catch runtime_error: The Default Modem object does not exist!\n"}},
        {"fault service missing", {execute + "Catch runtime_error: DeviceService object does not exist!\n"}},
        {"fault service fail 0x80070015", {execute + "Catch hresult_error: 80070015, "}},
        {"fault session null", {execute + "Catch runtime_error: CommandSession object does not exist!\n"}},
        {"fault operation null", {execute + "Catch runtime_error: executeOperation failed!\n"}},
        {"fault completion error 0x8007001F", {waitFailed}},
        {"fault completion canceled", {waitFailed}},
        {"fault status 5", {waitFailed}},
        {"fault results 0x8000000E", {wait + "Catch hresult_error: 8000000e, ", waitFailed}},
        {"fault response null", {wait + "Catch hresult_error: 80004003, ", waitFailed}},
        {"fault answer bytes 4097",
         {wait + "QUARN_MBIM_WINRT::MBIMWinRT::WaitMBIMCommandComplete: answer of 4097 bytes exceeds 4096\n", waitFailed}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(EmuRequest("reset"), "ok");
        Script({"modem 4g", c.fault});
        TraceCapture capture;
        std::vector<uint8_t> response(MBIM_PAYLOAD_LIMIT, 0xCC);
        uint32_t length = 77;
        EXPECT_EQ(Send("at+csus?\r\n", &response, &length), E_FAIL) << c.fault;
        std::vector<std::string> errors;
        for (const CapturedLine& line : capture.Captured()) {
            if (line.EventId == 17) {
                errors.push_back(line.Text);
            }
        }
        ASSERT_EQ(errors.size(), c.lines.size()) << c.fault << ": " << ::testing::PrintToString(errors);
        for (std::size_t i = 0; i < errors.size(); ++i) {
            EXPECT_EQ(errors[i].rfind(c.lines[i], 0), 0u) << c.fault << ": " << errors[i];
        }
        EXPECT_EQ(length, 77u) << c.fault;
        EXPECT_EQ(response[0], 0xCC) << c.fault;
    }
}

TEST_F(ModemPathTest, ACompletionInsidePutCompletedAndTheLongestAnswerSucceed) {
    Script({"modem 5g", "slot 2", "fault completion inline"});
    std::vector<uint8_t> response(MBIM_PAYLOAD_LIMIT, 0xCC);
    uint32_t length = 0;
    EXPECT_EQ(Send("at+esimmap?\r\n", &response, &length), S_OK);
    EXPECT_EQ(std::string(response.begin(), response.begin() + length), "\r\n+ESIMMAP: 2\r\n\r\nOK\r\n");

    Script({"fault none", "fault answer bytes 4096"});
    EXPECT_EQ(Send("at+esimmap?\r\n", &response, &length), S_OK);
    ASSERT_EQ(length, 4096u);
    EXPECT_EQ(response[4095], 0xFF);
}

TEST_F(ModemPathTest, ALateAnswerFailsTheCommandAndLaterTouchesNothing) {
    Script({"modem 4g", "fault delay 2000"});
    std::vector<uint8_t> response(MBIM_PAYLOAD_LIMIT, 0xCC);
    uint32_t length = 77;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Send("at+csus?\r\n", &response, &length, 200), E_FAIL);
    const ULONGLONG elapsed = GetTickCount64() - start;
    // Ended by its 200 ms time-out, not by the answer at 2000 ms (room for a loaded machine).
    EXPECT_LT(elapsed, 1500u) << "the caller waited for the modem, not for the time-out";
    EXPECT_TRUE(trace.Contains("[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::ExecuteMBIMCommand : Catch runtime_error: WaitMBIMCommandComplete failed!\n"));
    Sleep(static_cast<DWORD>(2500 - std::min<ULONGLONG>(elapsed, 2500)));  // the answer arrives now, after the call ended
    EXPECT_EQ(length, 77u);
    EXPECT_EQ(response[0], 0xCC);

    Script({"fault none", "fault silent on"});
    EXPECT_EQ(Send("at+csus?\r\n", &response, &length, 300), E_FAIL);
    Script({"fault none", "fault status 5"});
    EXPECT_EQ(Send("at+csus?\r\n", &response, &length), E_FAIL) << "a non-zero status is a failure";
    EXPECT_EQ(length, 77u);
}

TEST_F(ModemPathTest, SlotQueriesUseTheSystemsNetshAndFallBackToTheModem) {
    Script({"modem 4g", "slot 2"});
    uint32_t slot = 0;
    EXPECT_EQ(MBIMCommand::GetSimSlot(&slot, PLATFORM_4G), S_OK);
    EXPECT_EQ(slot, 2u);
    EXPECT_TRUE(JournalHas("netsh mbn show slotmapping *"));
    EXPECT_FALSE(JournalHas("at cmd=")) << "netsh answered; no AT command";

    Script({"netsh error", "slot 1"});
    slot = 0;
    EXPECT_EQ(MBIMCommand::GetSimSlot(&slot, PLATFORM_4G), S_OK);
    EXPECT_EQ(slot, 1u);
    EXPECT_TRUE(JournalHas("\"at+csus?\\r\\n\""));

    Script({"netsh hang"});
    slot = 0;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(MBIMCommand::GetSimSlot(&slot, PLATFORM_4G), S_OK) << "a netsh cut off printed no table: the modem answers";
    EXPECT_EQ(slot, 1u);
    // The stand-in hangs for 10 s; the runner cuts it off after 2 s (room for a loaded machine).
    EXPECT_LT(GetTickCount64() - start, 7000u) << "a hanging netsh is cut off after 2 s";

    Script({"modem 5g", "netsh error", "slot 2"});
    EXPECT_EQ(MBIMCommand::GetSimSlot(&slot, PLATFORM_5G), S_OK);
    EXPECT_EQ(slot, 2u);
    EXPECT_EQ(JournalCount("netsh mbn"), 3) << "5G never runs netsh";
}

// A process the modem's service will not serve: each command fails, nothing reaches the
// modem, and the transport's error line carries the code the system gave.
TEST_F(ModemPathTest, CommandsThatTheServiceRefusesFailAndTheirCodeIsLogged) {
    Script({"modem 4g"});
    for (const std::string call : {"default", "session", "set"}) {
        ASSERT_EQ(EmuRequest("fault denied " + call), "ok");
        TraceCapture trace;
        EXPECT_EQ(MBIMCommand::SendRemoveSimCard(PLATFORM_4G), E_FAIL) << call;
        const std::vector<std::string> lines = trace.Texts();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.rfind("[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::ExecuteMBIMCommand : Catch hresult_error: 80070005, ", 0) == 0;
        })) << call;
        Script({"fault none"});
    }
    EXPECT_FALSE(JournalHas("at cmd=")) << "a refused command never reaches the modem";
}

// Every command, whichever way it ends, releases every Runtime object it took: the modem,
// its service, the session, the buffer and the operation with its result.
TEST_F(ModemPathTest, CommandsReleaseEveryRuntimeObjectTheyTake) {
    Script({"modem 4g"});
    std::vector<uint8_t> response(MBIM_PAYLOAD_LIMIT, 0);
    uint32_t length = 0;
    for (const char* fault : {"fault none", "fault answer error", "fault status 5", "fault completion error",
                              "fault completion inline", "fault results 0x8000000E", "fault response null",
                              "fault session null", "fault operation null", "fault service missing",
                              "fault delay 300"}) {
        Script({"fault none", fault});
        Send("at+csus?\r\n", &response, &length, 100);
        EXPECT_TRUE(Eventually([] { return FacadeObjects(RUNTIME_FACADE_DLL) == 0; }))
            << fault << ": " << FacadeObjects(RUNTIME_FACADE_DLL) << " objects alive";
    }
}

}  // namespace

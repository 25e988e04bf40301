#include "modem/mbim_command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/hresult_error.h"
#include "tests/support/trace_capture.h"

namespace {

struct Answer {
    QuarnHresult result;
    std::string bytes;
};

// Records every payload byte for byte and answers from a script (the last answer repeats).
class FakeTransport : public ModemTransport {
public:
    std::deque<Answer> answers{{QUARN_S_OK, "\r\nOK\r\n"}};
    std::vector<std::string> payloads;
    std::vector<uint32_t> timeouts;
    bool throwInstead = false;

    QuarnHresult ExecuteMBIMCommand(uint32_t length, const uint8_t* data, uint32_t* responseLength, uint8_t* response,
                                    uint32_t timeoutMs) override {
        payloads.emplace_back(reinterpret_cast<const char*>(data), length);
        timeouts.push_back(timeoutMs);
        if (throwInstead) {
            throw std::runtime_error("transport broke");
        }
        const Answer answer = answers.front();
        if (answers.size() > 1) {
            answers.pop_front();
        }
        if (answer.result == QUARN_S_OK) {
            *responseLength = static_cast<uint32_t>(answer.bytes.size());
            std::memcpy(response, answer.bytes.data(), std::min<std::size_t>(answer.bytes.size(), MBIM_PAYLOAD_LIMIT));
        }
        return answer.result;
    }
};

class FakeApartment : public ComApartment {
public:
    bool fail = false;
    int joins = 0;
    void JoinMultithreadedApartment() override {
        ++joins;
        if (fail) {
            throw HresultError(static_cast<int32_t>(0x80010106), L"changed mode");
        }
    }
};

class FakeConsole : public ConsoleRunner {
public:
    std::string output;
    std::vector<std::wstring> commands;
    std::string Execute(const std::wstring& commandLine) override {
        commands.push_back(commandLine);
        return output;
    }
};

class FakeSleeper : public Sleeper {
public:
    std::vector<uint32_t> sleeps;
    void SleepMs(uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
};

const std::string kSeparator = std::string(37, '-') + "\r\n";
const std::string kUnknownSlot = "[WARNING] MBIMCommand::GetSimSlot : Unknown sim slot.\n";
const std::string kUnreadable = "[WARNING] MBIMCommand::GetSimSlot : Netsh slot table unreadable, try with AT command.\n";
const std::string kNoTable = "[WARNING] MBIMCommand::GetSimSlot : Netsh printed no slot table, try with AT command.\n";
const std::string kSlot2 = "[INFO] MBIMCommand::GetSimSlot : Current SIM select is : 2\n";

class MbimCommandTest : public ::testing::Test {
protected:
    void SetUp() override { MBIMCommand::Attach({&transport, &apartment, &console, &sleeper}); }
    FakeTransport transport;
    FakeApartment apartment;
    FakeConsole console;
    FakeSleeper sleeper;
    TraceCapture trace;
};

TEST_F(MbimCommandTest, EjectSendsExactlyThePlatformsCommandBytes) {
    EXPECT_EQ(MBIMCommand::SendRemoveSimCard(PLATFORM_4G), QUARN_S_OK);
    EXPECT_EQ(MBIMCommand::SendRemoveSimCard(PLATFORM_5G), QUARN_S_OK);
    EXPECT_EQ(MBIMCommand::SendRemoveSimCard(PLATFORM_INVALID), QUARN_S_OK);
    ASSERT_EQ(transport.payloads.size(), 3u);
    EXPECT_EQ(transport.payloads[0], std::string("AT+XSIMPOWER=0,1\r\n"));
    EXPECT_EQ(transport.payloads[0].size(), 18u) << "no terminating zero";
    EXPECT_EQ(transport.payloads[1], std::string("AT+ESIMPOWER=0,1\r\n"));
    EXPECT_EQ(transport.payloads[2], std::string("AT+ESIMPOWER=0,1\r\n"));
    EXPECT_EQ(transport.timeouts, (std::vector<uint32_t>{1000, 1000, 1000}));
    EXPECT_EQ(apartment.joins, 3);
    EXPECT_TRUE(trace.Contains("[INFO] MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension : (18), AT+XSIMPOWER=0,1\r\n\n"));
    EXPECT_TRUE(trace.Contains("[INFO] MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension : at_rsp: \r\nOK\r\n\n"));
    EXPECT_TRUE(trace.Contains("[INFO] MBIMCommand::SendRemoveSimCard : response: \r\nOK\r\n\n"));
}

TEST_F(MbimCommandTest, EjectFailsOnARefusedAnswerOrAFailedTransport) {
    transport.answers = {{QUARN_S_OK, "\r\nERROR\r\n"}, {QUARN_S_OK, "\r\n+CME ERROR: 10\r\n"}, {QUARN_E_FAIL, ""},
                         {QUARN_S_OK, "\r\nok\r\n"}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(MBIMCommand::SendRemoveSimCard(PLATFORM_4G), QUARN_E_FAIL) << i;
    }
    apartment.fail = true;
    EXPECT_THROW(MBIMCommand::SendRemoveSimCard(PLATFORM_4G), HresultError) << "eject catches nothing";
    apartment.fail = false;
    transport.answers = {{QUARN_S_OK, "\r\nOK\r\n"}};
    EXPECT_EQ(MBIMCommand::SendRemoveSimCard(PLATFORM_4G), QUARN_S_OK) << "the mutex was released on the way out";
}

TEST_F(MbimCommandTest, AnswersAreWidenedByteForByteAndNeverOverrunTheBuffer) {
    std::vector<wchar_t> answer(AT_ANSWER_CAPACITY + 8, L'#');
    transport.answers = {{QUARN_S_OK, std::string("OK\xE9\0tail", 8)}};
    EXPECT_EQ(MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension(L"AT\r\n", answer.data(), 1000), QUARN_S_OK);
    EXPECT_EQ(std::wstring(answer.data()), std::wstring(L"OK\u00E9")) << "cut at the first zero byte";

    transport.answers = {{QUARN_S_OK, std::string(MBIM_PAYLOAD_LIMIT, 'A')}};
    std::fill(answer.begin(), answer.end(), L'#');
    EXPECT_EQ(MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension(L"AT\r\n", answer.data(), 1000), QUARN_S_OK);
    EXPECT_EQ(std::wcslen(answer.data()), AT_ANSWER_CAPACITY - 1);
    for (std::size_t i = AT_ANSWER_CAPACITY; i < answer.size(); ++i) {
        EXPECT_EQ(answer[i], L'#') << "written past the caller's buffer at " << i;
    }

    // A command whose UTF-8 form does not fit the command buffer is not sent.
    const std::wstring tooLong(AT_COMMAND_CAPACITY, L'A');
    const std::size_t sent = transport.payloads.size();
    EXPECT_EQ(MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension(tooLong.c_str(), answer.data(), 1000), QUARN_E_FAIL);
    EXPECT_EQ(transport.payloads.size(), sent);
    const std::wstring fits(AT_COMMAND_CAPACITY - 1, L'A');
    EXPECT_EQ(MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension(fits.c_str(), answer.data(), 1000), QUARN_S_OK);
    EXPECT_EQ(transport.payloads.back().size(), AT_COMMAND_CAPACITY - 1);
}

TEST(WideToUtf8, EncodesEveryPlaneAndRefusesWhatDoesNotFit) {
    char buffer[16];
    EXPECT_EQ(WideToUtf8(L"at\u00E9\u65E5", buffer, sizeof(buffer)), 7);
    EXPECT_STREQ(buffer, "at\xC3\xA9\xE6\x97\xA5");
    EXPECT_EQ(WideToUtf8(L"", buffer, sizeof(buffer)), 0);
    EXPECT_EQ(WideToUtf8(L"0123456789ABCDEF", buffer, sizeof(buffer)), -1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(WideToUtf8(L"0123456789ABCDE", buffer, sizeof(buffer)), 15);
}

TEST_F(MbimCommandTest, PowerOnRetriesThreeTimesOneSecondApart) {
    transport.answers = {{QUARN_E_FAIL, ""}, {QUARN_S_OK, "\r\nOK\r\n"}};
    EXPECT_EQ(MBIMCommand::SendPowerOnSimCard(), QUARN_S_OK);
    EXPECT_EQ(transport.payloads, (std::vector<std::string>{"AT+XSIMPOWER=1,1\r\n", "AT+XSIMPOWER=1,1\r\n"}));
    EXPECT_EQ(sleeper.sleeps, std::vector<uint32_t>{1000});
    EXPECT_TRUE(trace.Contains("[INFO] MBIMCommand::SendPowerOnSimCard : MBIMCommand::SendPowerOnSimCard -- Retry 1/3. HRESULT: 0x80004005\n"));
    EXPECT_TRUE(trace.Contains("[INFO] MBIMCommand::SendPowerOnSimCard : MBIMCommand::SendPowerOnSimCard -- S_OK\n"));

    transport.payloads.clear();
    sleeper.sleeps.clear();
    transport.answers = {{QUARN_S_OK, "\r\nERROR\r\n"}};
    EXPECT_EQ(MBIMCommand::SendPowerOnSimCard(), QUARN_E_FAIL);
    EXPECT_EQ(transport.payloads.size(), 3u);
    EXPECT_EQ(sleeper.sleeps, (std::vector<uint32_t>{1000, 1000, 1000}));
    EXPECT_TRUE(trace.Contains("[INFO] MBIMCommand::SendPowerOnSimCard : MBIMCommand::SendPowerOnSimCard -- Retry 3/3. HRESULT: 0x0\n"));
    EXPECT_TRUE(trace.Contains("[INFO] MBIMCommand::SendPowerOnSimCard : MBIMCommand::SendPowerOnSimCard -- All retries failed. E_FAIL\n"));
}

// The Mobile Broadband sink powers the SIM on for an arrival only after connecting, which
// takes long enough for the icon to show and the user to eject: such a late power-on must not
// undo the eject. A refused eject leaves the SIM on, so it does not count.
TEST_F(MbimCommandTest, APowerOnForAnEventOlderThanTheUsersEjectSendsNothing) {
    const uint32_t atArrival = MBIMCommand::SimEjectCount();
    transport.answers = {{QUARN_S_OK, "\r\nERROR\r\n"}};
    EXPECT_EQ(MBIMCommand::SendRemoveSimCard(PLATFORM_4G), QUARN_E_FAIL);
    transport.answers = {{QUARN_S_OK, "\r\nOK\r\n"}};
    EXPECT_EQ(MBIMCommand::SendPowerOnSimCardUnlessEjectedSince(atArrival), QUARN_S_OK);

    EXPECT_EQ(MBIMCommand::SendRemoveSimCard(PLATFORM_4G), QUARN_S_OK);
    transport.payloads.clear();
    EXPECT_EQ(MBIMCommand::SendPowerOnSimCardUnlessEjectedSince(atArrival), QUARN_S_FALSE);
    EXPECT_TRUE(transport.payloads.empty()) << "the ejected SIM was powered on again";
    EXPECT_TRUE(trace.Contains("[INFO] MBIMCommand::SendPowerOnSimCard : MBIMCommand::SendPowerOnSimCard -- the SIM "
                               "was ejected after the request: not sent\n"));

    EXPECT_EQ(MBIMCommand::SendPowerOnSimCardUnlessEjectedSince(MBIMCommand::SimEjectCount()), QUARN_S_OK);
    EXPECT_EQ(transport.payloads, std::vector<std::string>{"AT+XSIMPOWER=1,1\r\n"});
}

struct NetshCase {
    const char* name;
    std::string output;
    QuarnHresult result;
    uint32_t slot;
    bool atQuery;
    std::vector<std::string> lines;  // what GetSimSlot logs after the netsh output
};

class NetshSlotTest : public MbimCommandTest, public ::testing::WithParamInterface<NetshCase> {};

TEST_P(NetshSlotTest, FourGAsksNetshFirst) {
    const NetshCase& c = GetParam();
    console.output = c.output;
    transport.answers = {{QUARN_S_OK, "\r\n+CSUS: 1\r\n\r\nOK\r\n"}};
    uint32_t slot = 99;
    EXPECT_EQ(MBIMCommand::GetSimSlot(&slot, PLATFORM_4G), c.result);
    EXPECT_EQ(slot, c.slot);
    EXPECT_EQ(console.commands, std::vector<std::wstring>{L"netsh mbn show slotmapping *"});
    EXPECT_EQ(transport.payloads, c.atQuery ? std::vector<std::string>{"at+csus?\r\n"} : std::vector<std::string>{});
    EXPECT_EQ(transport.timeouts, c.atQuery ? std::vector<uint32_t>{3000} : std::vector<uint32_t>{});
    std::vector<std::string> lines = trace.Texts();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "[INFO] MBIMCommand::GetSimSlot : netsh_result: " + c.output + "\n");
    lines.erase(lines.begin());
    // The AT step's own lines (the tunnel's) are another test's.
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& line) { return line.find("GetSimSlot") == std::string::npos; }),
                lines.end());
    EXPECT_EQ(lines, c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, NetshSlotTest,
    ::testing::Values(
        NetshCase{"Slot1", "\r\nSlot mapping\r\n" + kSeparator + "0   : Executor 0\r\n", QUARN_S_OK, 1, false,
                  {"[INFO] MBIMCommand::GetSimSlot : Current SIM select is : 1\n"}},
        NetshCase{"Slot2", "\r\nSlot mapping\r\n" + kSeparator + "1   : Executor 0\r\n", QUARN_S_OK, 2, false,
                  {"[INFO] MBIMCommand::GetSimSlot : Current SIM select is : 2\n"}},
        // A table whose slot cannot be read (cut off where netsh was ended, or laid out for
        // another language) leaves the slot to the modem too.
        NetshCase{"SlotIndex2", "header\r\n" + kSeparator + "2\r\n", QUARN_S_OK, 2, true, {kUnreadable, kSlot2}},
        NetshCase{"CutRightAfterSeparator", "header\r\n" + kSeparator, QUARN_S_OK, 2, true, {kUnreadable, kSlot2}},
        NetshCase{"BlankLineAfterSeparator", "header\r\n" + kSeparator + "\r\n", QUARN_S_OK, 2, true,
                  {kUnreadable, kSlot2}},
        NetshCase{"NameBeforeSlot", "header\r\n" + kSeparator + "Cellular : 0\r\n", QUARN_S_OK, 2, true,
                  {kUnreadable, kSlot2}},
        // Output without the table's separator line, whatever it says, leaves the slot to the modem.
        NetshCase{"SeparatorWithoutCrLf", "header\r\n" + std::string(37, '-') + "\n0\r\n", QUARN_S_OK, 2, true,
                  {kNoTable, kSlot2}},
        NetshCase{"ExecuteFailed", "Execute failed", QUARN_S_OK, 2, true, {kNoTable, kSlot2}},
        NetshCase{"Empty", "", QUARN_S_OK, 2, true, {kNoTable, kSlot2}},
        // Japanese and Chinese systems: netsh fails in the console's code page (932, 936).
        // Our own sentences: "Error: the element sought is not there."
        NetshCase{"LocalizedErrorCp932",
                  "\x83\x47\x83\x89\x81\x5B\x3A\x20\x96\xDA\x93\x49\x82\xCC\x97\x76\x91\x66\x82\xCD\x82\xA0\x82\xE8"
                  "\x82\xDC\x82\xB9\x82\xF1\x81\x42\r\n",
                  QUARN_S_OK, 2, true, {kNoTable, kSlot2}},
        NetshCase{"LocalizedErrorCp936",
                  "\xB4\xED\xCE\xF3\x3A\x20\xC3\xBB\xD3\xD0\xCB\xF9\xD0\xE8\xB5\xC4\xD4\xAA\xCB\xD8\xA1\xA3\r\n",
                  QUARN_S_OK, 2, true, {kNoTable, kSlot2}},
        NetshCase{"InterfaceErrorFallsBackToCsus", "Failed to access the interface: error\r\n", QUARN_S_OK, 2, true,
                  {"[WARNING] MBIMCommand::GetSimSlot : Netsh executed error, try with AT command.\n", kSlot2}},
        NetshCase{"InterfaceErrorWinsOverATable",
                  "Failed to access the interface: error\r\n" + kSeparator + "0\r\n", QUARN_S_OK, 2, true,
                  {"[WARNING] MBIMCommand::GetSimSlot : Netsh executed error, try with AT command.\n", kSlot2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MbimCommandTest, FiveGAsksTheModemDirectlyAndMatchesSlotOneFirst) {
    struct Case {
        std::string answer;
        QuarnHresult result;
        uint32_t slot;
    } cases[] = {{"\r\n+ESIMMAP: 1\r\n\r\nOK\r\n", QUARN_S_OK, 1},
                 {"\r\n+ESIMMAP: 2\r\n\r\nOK\r\n", QUARN_S_OK, 2},
                 {"+ESIMMAP: 2 +ESIMMAP: 1 OK", QUARN_S_OK, 1},
                 {"\r\n+ESIMMAP: 1\r\n", QUARN_E_FAIL, 99},
                 {"\r\nOK\r\n", QUARN_E_FAIL, 99},
                 {"\r\nERROR\r\n", QUARN_E_FAIL, 99}};
    for (const Case& c : cases) {
        transport.answers = {{QUARN_S_OK, c.answer}};
        uint32_t slot = 99;
        EXPECT_EQ(MBIMCommand::GetSimSlot(&slot, PLATFORM_5G), c.result) << c.answer;
        EXPECT_EQ(slot, c.slot) << c.answer;
        EXPECT_EQ(transport.payloads.back(), "at+esimmap?\r\n");
        EXPECT_EQ(transport.timeouts.back(), 3000u);
    }
    EXPECT_TRUE(console.commands.empty()) << "netsh only on 4G";
    EXPECT_TRUE(trace.Contains(kUnknownSlot));
}

TEST_F(MbimCommandTest, TheSlotQueryCatchesWhatItsAtStepRaises) {
    uint32_t slot = 99;
    transport.throwInstead = true;
    EXPECT_EQ(MBIMCommand::GetSimSlot(&slot, PLATFORM_5G), QUARN_E_FAIL);
    EXPECT_TRUE(trace.Contains("[ERROR] MBIMCommand::GetSimSlot : Catch runtime_error: transport broke\n"));
    transport.throwInstead = false;
    apartment.fail = true;
    EXPECT_EQ(MBIMCommand::GetSimSlot(&slot, PLATFORM_5G), QUARN_E_FAIL);
    EXPECT_TRUE(trace.Contains("[ERROR] MBIMCommand::GetSimSlot : Catch hresult_error: 80010106, changed mode\n"));
    EXPECT_EQ(slot, 99u);
}

}  // namespace

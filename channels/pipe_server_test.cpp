#include "channels/pipe_server.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/trace_capture.h"

namespace {

std::vector<uint8_t> Utf16(const std::u16string& text, bool terminate = true) {
    std::vector<uint8_t> bytes;
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    if (terminate) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

std::wstring Decode(const std::vector<uint8_t>& bytes) { return DecodePipeMessage(bytes.data(), bytes.size()); }

TEST(DecodePipeMessage, ReadsNoFurtherThanWhatArrived) {
    EXPECT_EQ(Decode(Utf16(u"EXIT")), L"EXIT");
    EXPECT_EQ(Decode(Utf16(u"EXIT", false)), L"EXIT") << "no terminator: the bytes that came are the text";
    std::vector<uint8_t> odd = Utf16(u"EXIT", false);
    odd.push_back('X');
    EXPECT_EQ(Decode(odd), L"EXIT") << "a lone last byte is no character";
    EXPECT_EQ(Decode(Utf16(std::u16string(u"AB\0CD", 5))), L"AB") << "the text ends at the first zero unit";
    EXPECT_EQ(Decode({}), L"");
    EXPECT_EQ(Decode({0x41}), L"");
    const std::wstring cut = Decode(Utf16(std::u16string(400, u'x')));
    EXPECT_EQ(cut, std::wstring(255, L'x')) << "511 bytes at most: 255 characters";
    EXPECT_EQ(Decode(Utf16(u"\u65E5\u672C")), L"\u65E5\u672C");
}

class RecordingWindow : public ControlWindow {
public:
    bool exists = true;
    int exits = 0;
    bool Exists() override { return exists; }
    void PostExitCommand() override { ++exits; }
};

struct CommandCase {
    const wchar_t* text;
    int exits;
    const char* socketPort;  // nullptr: unchanged
};

class PipeCommandTest : public ::testing::TestWithParam<CommandCase> {
protected:
    void SetUp() override { PipeServer::Attach(&window); }
    void TearDown() override { PipeServer::Attach(nullptr); }
    RecordingWindow window;
};

TEST_P(PipeCommandTest, KeywordsAreFoundAnywhereCaseSensitively) {
    PipeServer::HandleNamedPipeData(L"SOCKETPORTunchanged");
    PipeServer::HandleNamedPipeData(GetParam().text);
    EXPECT_EQ(window.exits, GetParam().exits);
    EXPECT_EQ(PipeServer::SocketPort(), GetParam().socketPort != nullptr ? GetParam().socketPort : "unchanged");
}

INSTANTIATE_TEST_SUITE_P(Messages, PipeCommandTest,
                         ::testing::Values(CommandCase{L"EXIT", 1, nullptr}, CommandCase{L"EXIT\r\n", 1, nullptr},
                                           CommandCase{L"please EXIT now", 1, nullptr},
                                           CommandCase{L"exit", 0, nullptr}, CommandCase{L"Exit", 0, nullptr},
                                           CommandCase{L"SOCKETPORT EXIT", 1, nullptr},
                                           CommandCase{L"SOCKETPORT", 0, ""},
                                           CommandCase{L"xSOCKETPORT8080", 0, "8080"},
                                           CommandCase{L"SOCKETPORT80SOCKETPORT90", 0, "80SOCKETPORT90"},
                                           CommandCase{L"SOCKETPORT\u0141\u00FF", 0, "\x41\xFF"},
                                           CommandCase{L"", 0, nullptr}, CommandCase{L"hello", 0, nullptr}));

TEST(PipeCommand, LogsEveryMessageAndDropsItWithoutAWindow) {
    RecordingWindow window;
    window.exists = false;
    PipeServer::Attach(&window);
    TraceCapture trace;
    PipeServer::HandleNamedPipeData(L"EXIT");
    EXPECT_EQ(window.exits, 0);
    EXPECT_EQ(trace.Texts(), std::vector<std::string>{"[INFO] PipeServer::HandleNamedPipeData : Process Data: EXIT, length: 4\n"});
    window.exists = true;
    PipeServer::HandleNamedPipeData(L"EXIT");
    EXPECT_TRUE(trace.Contains("[INFO] PipeServer::HandleNamedPipeData : PostMessage: WM_EXIT_CMD\n"));
    PipeServer::Attach(nullptr);
}

// A name that other programs hold for the first attempts, each failing with its own code.
class TakenPipeName : public PipeNamePort {
public:
    explicit TakenPipeName(std::vector<uint32_t> failures) : failures(std::move(failures)) {}
    std::vector<uint32_t> failures;
    std::size_t attempts = 0;
    std::vector<uint32_t> sleeps;
    bool TryCreatePipe(uint32_t* errorCode) override {
        if (attempts < failures.size()) {
            *errorCode = failures[attempts++];
            return false;
        }
        ++attempts;
        return true;
    }
    void SleepMs(uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
};

TEST(PipeCreation, ATakenNameIsTriedAgainUntilFreeWithOnlyItsFirstFailureAndTheSuccessLogged) {
    const std::string busy = "[ERROR] PipeServer::CreatePipeServer : CreateNamedPipeW FAILED! error: 231\n";
    struct Case {
        std::vector<uint32_t> failures;
        std::vector<std::string> lines;
    } cases[] = {
        {{}, {}},
        {{231}, {busy, "[INFO] PipeServer::CreatePipeServer : CreateNamedPipeW succeeded at attempt 2\n"}},
        // The code may change while the name stays taken (access denied, then busy).
        {{231, 5, 5, 231}, {busy, "[INFO] PipeServer::CreatePipeServer : CreateNamedPipeW succeeded at attempt 5\n"}},
    };
    for (const Case& c : cases) {
        TraceCapture trace;
        TakenPipeName name(c.failures);
        PipeServer::CreatePipeWhenNameIsFree(name);
        EXPECT_EQ(name.attempts, c.failures.size() + 1);
        EXPECT_EQ(name.sleeps, std::vector<uint32_t>(c.failures.size(), PIPE_CREATE_RETRY_MS))
            << "a pause before each retry";
        EXPECT_EQ(trace.Texts(), c.lines);
        if (!c.lines.empty()) {
            EXPECT_EQ(trace.Captured()[0].EventId, 17) << "the failure is an error-level line";
        }
    }
}

}  // namespace

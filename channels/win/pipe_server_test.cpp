// The control pipe with real clients under Wine: one message per connection, silent
// clients let go, odd and oversized messages read safely, and a thousand clients in a row.
#include <windows.h>
#include <process.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "channels/pipe_server.h"
#include "tests/support/trace_capture.h"
#include "tests/support/win/eventually.h"

namespace {

class CountingWindow : public ControlWindow {
public:
    std::atomic<int> exits{0};
    bool Exists() override { return true; }
    void PostExitCommand() override { ++exits; }
};

CountingWindow g_Window;

HANDLE Connect() {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const HANDLE pipe = CreateFileW(PIPE_SERVER_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            return pipe;
        }
        if (GetLastError() == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(PIPE_SERVER_NAME, 5000);
        } else {
            Sleep(20);  // the server is between two clients
        }
    }
    return INVALID_HANDLE_VALUE;
}

std::vector<uint8_t> Utf16(const std::wstring& text) {
    std::vector<uint8_t> bytes;
    for (const wchar_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

// Connects, writes the bytes, and closes; true when the write went through.
bool Send(const std::vector<uint8_t>& bytes) {
    const HANDLE pipe = Connect();
    if (pipe == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = bytes.empty() || WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    FlushFileBuffers(pipe);
    CloseHandle(pipe);
    return ok != FALSE;
}

class PipeServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        PipeServer::Attach(&g_Window);
        // The server lives as long as the process, as in the application.
        ASSERT_NE(_beginthreadex(nullptr, 0, PipeServer::CreatePipeServer, nullptr, 0, nullptr), 0u);
    }
    void SetUp() override { g_Window.exits = 0; }
    TraceCapture trace;
};

TEST_F(PipeServerTest, ExitPostsTheExitCommand) {
    ASSERT_TRUE(Send(Utf16(L"EXIT")));
    EXPECT_TRUE(Eventually([] { return g_Window.exits == 1; }));
    EXPECT_TRUE(Eventually([this] { return trace.Contains("[INFO] PipeServer::CreatePipeServer : Received Data: EXIT\n"); }));
}

TEST_F(PipeServerTest, ASilentClientNoLongerBlocksTheNextOne) {
    const HANDLE silent = Connect();
    ASSERT_NE(silent, INVALID_HANDLE_VALUE);
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(Send(Utf16(L"EXIT")));  // waits while the silent client holds the single instance
    EXPECT_TRUE(Eventually([] { return g_Window.exits == 1; }, 10000));
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_GE(waited, PIPE_FIRST_MESSAGE_TIMEOUT_MS - 500);
    EXPECT_LT(waited, PIPE_FIRST_MESSAGE_TIMEOUT_MS + 4000);
    CloseHandle(silent);
}

TEST_F(PipeServerTest, EmptyOddOversizedAndGarbageMessagesAreReadSafely) {
    ASSERT_TRUE(Send({}));  // connects and closes: no line
    std::vector<uint8_t> odd = Utf16(L"hello");
    odd.pop_back();
    odd.pop_back();
    odd.push_back('!');  // no terminator and an odd count
    ASSERT_TRUE(Send(odd));
    std::vector<uint8_t> oversized = Utf16(std::wstring(300, L'a') + L"EXIT");
    ASSERT_TRUE(Send(oversized));
    std::vector<uint8_t> garbage;
    for (int i = 0; i < 200; ++i) {
        garbage.push_back(static_cast<uint8_t>(i * 37 + 11));
    }
    ASSERT_TRUE(Send(garbage));
    ASSERT_TRUE(Send(Utf16(L"EXIT")));
    EXPECT_TRUE(Eventually([] { return g_Window.exits == 1; }));
    EXPECT_EQ(g_Window.exits, 1) << "the EXIT beyond 255 characters was cut off";
    EXPECT_TRUE(trace.Contains("[INFO] PipeServer::HandleNamedPipeData : Process Data: hello, length: 5\n"));
    EXPECT_TRUE(trace.Contains("[INFO] PipeServer::HandleNamedPipeData : Process Data: " + std::string(255, 'a') + ", length: 255\n"));
    EXPECT_TRUE(trace.Contains("[INFO] PipeServer::HandleNamedPipeData : Process Data: , length: 100\n"))
        << "the garbage arrives as 100 units (not printable in the trace's code page)";
    EXPECT_FALSE(trace.Contains("[INFO] PipeServer::HandleNamedPipeData : Process Data: , length: 0\n"))
        << "an empty connection is not a message";
}

TEST_F(PipeServerTest, AThousandClientsInARowThenExitStillWorks) {
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(Send(Utf16(L"hello " + std::to_wstring(i)))) << i;
    }
    ASSERT_TRUE(Send(Utf16(L"EXIT")));
    EXPECT_TRUE(Eventually([] { return g_Window.exits == 1; }));
}

}  // namespace

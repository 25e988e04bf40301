// The control pipe with real clients under Wine: a name another program held at start and
// let go later, the pipe's access list, one message per connection, silent clients let go,
// odd and oversized messages read safely, and a thousand clients in a row.
#include <windows.h>
#include <aclapi.h>
#include <process.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
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

// The process's one server, as in the application; started by the first test that needs it.
void StartServerOnce() {
    static const bool started = [] {
        PipeServer::Attach(&g_Window);
        return _beginthreadex(nullptr, 0, PipeServer::CreatePipeServer, nullptr, 0, nullptr) != 0;
    }();
    ASSERT_TRUE(started);
}

// Runs first, before any server: another program holds the name when the server starts, as
// a client that held the pipe across the last owner's exit does. The control channel comes
// back once the name is free. The other program allows one instance: one that allows more is
// refused on Windows only for FILE_FLAG_FIRST_PIPE_INSTANCE, which Wine 8 ignores (the server
// would join it).
TEST(PipeServerTakenName, IsTriedAgainUntilFreeAndThenServes) {
    TraceCapture trace;
    const HANDLE squatter = CreateNamedPipeW(PIPE_SERVER_NAME, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                             PIPE_TYPE_BYTE, 1, 256, 256, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    g_Window.exits = 0;
    StartServerOnce();
    const bool failureLogged = Eventually([&] { return !trace.Texts().empty(); });
    // Held for about two retries more; their failures are not logged again.
    Sleep(2 * PIPE_CREATE_RETRY_MS + 500);
    CloseHandle(squatter);
    ASSERT_TRUE(failureLogged);
    unsigned long code = 0;
    EXPECT_EQ(std::sscanf(trace.Texts()[0].c_str(),
                          "[ERROR] PipeServer::CreatePipeServer : CreateNamedPipeW FAILED! error: %lu\n", &code),
              1) << trace.Texts()[0];
    EXPECT_NE(code, 0u);
    EXPECT_EQ(trace.Captured()[0].EventId, 17) << "an error-level line";

    ASSERT_TRUE(Eventually([] { return Send(Utf16(L"EXIT")); }, 2 * PIPE_CREATE_RETRY_MS)) << "the name came back";
    EXPECT_TRUE(Eventually([] { return g_Window.exits == 1; }));
    EXPECT_TRUE(
        Eventually([&] { return trace.Contains("[INFO] PipeServer::CreatePipeServer : Received Data: EXIT\n"); }));
    const std::vector<std::string> lines = trace.Texts();
    ASSERT_GE(lines.size(), 2u);
    unsigned attempt = 0;
    EXPECT_EQ(std::sscanf(lines[1].c_str(),
                          "[INFO] PipeServer::CreatePipeServer : CreateNamedPipeW succeeded at attempt %u\n", &attempt),
              1) << lines[1];
    EXPECT_GE(attempt, 2u);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.find("FAILED") != std::string::npos; }),
              1) << "one line for the whole wait";
}

class PipeServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartServerOnce(); }
    void SetUp() override { g_Window.exits = 0; }
    TraceCapture trace;
};

// The SID of a well-known account, or of the process's own user.
std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sid.data(), &size));
    sid.resize(size);
    return sid;
}
std::vector<BYTE> ProcessUserSid() {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE buffer[256] = {};
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
    CloseHandle(token);
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

// Full access for the user who runs the program, LocalSystem and Administrators, nobody
// else, and nothing inherited from the defaults: another user cannot hold the single
// instance or write "EXIT".
TEST_F(PipeServerTest, OnlyItsUserSystemAndAdministratorsMayUseIt) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(Eventually([&] {
        pipe = CreateFileW(PIPE_SERVER_NAME, READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        return pipe != INVALID_HANDLE_VALUE;
    }));
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                         nullptr, &descriptor);
    CloseHandle(pipe);
    ASSERT_EQ(status, static_cast<DWORD>(ERROR_SUCCESS));
    const std::unique_ptr<void, decltype(&LocalFree)> owner(descriptor, &LocalFree);
    ASSERT_NE(dacl, nullptr) << "a null access list lets everyone in";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "no inherited entries";
    std::vector<std::vector<BYTE>> allowed;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&header)));
        ASSERT_EQ(header->AceType, ACCESS_ALLOWED_ACE_TYPE) << "entry " << i;
        const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS)) << "entry " << i;
        const BYTE* sid = reinterpret_cast<const BYTE*>(&ace->SidStart);
        allowed.emplace_back(sid, sid + GetLengthSid(const_cast<BYTE*>(sid)));
    }
    std::vector<std::vector<BYTE>> expected{ProcessUserSid(), WellKnownSid(WinLocalSystemSid),
                                            WellKnownSid(WinBuiltinAdministratorsSid)};
    std::sort(allowed.begin(), allowed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(allowed, expected);
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

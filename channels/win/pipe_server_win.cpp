// The pipe server thread: one client at a time, one message per connection.
#include <windows.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <vector>

#include "channels/pipe_server.h"
#include "trace/trace.h"

namespace {

// Full access for the user who runs the program, LocalSystem (the installer's stopper) and
// Administrators, and nobody else: the default security lets every local user open the pipe
// for reading, which is enough to hold its single instance and shut the installer out.
// Protected ("P"), so nothing is inherited. Empty when the process's user cannot be read.
struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreer>;

LocalMemory OwnUserOnlySecurity() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return nullptr;
    }
    const std::unique_ptr<void, decltype(&CloseHandle)> tokenOwner(token, &CloseHandle);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
        return nullptr;
    }
    wchar_t* sidText = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sidText)) {
        return nullptr;
    }
    const LocalMemory sidOwner(sidText);
    const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sidText) + L")(A;;FA;;;SY)(A;;FA;;;BA)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return nullptr;
    }
    return LocalMemory(descriptor);
}

// Waits for an overlapped operation to end; false (and the operation cancelled) when it
// did not end within `timeoutMs`.
bool Finish(HANDLE pipe, OVERLAPPED* overlapped, DWORD timeoutMs, DWORD* transferred) {
    if (WaitForSingleObject(overlapped->hEvent, timeoutMs) == WAIT_OBJECT_0) {
        return GetOverlappedResult(pipe, overlapped, transferred, FALSE) != FALSE;
    }
    CancelIo(pipe);
    GetOverlappedResult(pipe, overlapped, transferred, TRUE);
    return false;
}

bool WaitForClient(HANDLE pipe, HANDLE event) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ResetEvent(event);
    if (ConnectNamedPipe(pipe, &overlapped)) {
        return true;
    }
    DWORD ignored = 0;
    switch (GetLastError()) {
    case ERROR_PIPE_CONNECTED:  // connected before we listened: still a client to serve
        return true;
    case ERROR_IO_PENDING:
        return Finish(pipe, &overlapped, INFINITE, &ignored);
    default:
        return false;
    }
}

// The first message of the connection, or 0 bytes when none came in time.
DWORD ReadFirstMessage(HANDLE pipe, HANDLE event, uint8_t* buffer) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ResetEvent(event);
    DWORD read = 0;
    if (ReadFile(pipe, buffer, PIPE_READ_LIMIT, &read, &overlapped)) {
        return read;
    }
    if (GetLastError() != ERROR_IO_PENDING || !Finish(pipe, &overlapped, PIPE_FIRST_MESSAGE_TIMEOUT_MS, &read)) {
        return 0;
    }
    return read;
}

// Local callers only: a remote one could otherwise end the program from the network. The
// name is one for the whole machine; as the first instance, a name that another user's
// instance or any other program holds fails here instead of being joined.
class ControlPipeName final : public PipeNamePort {
public:
    explicit ControlPipeName(SECURITY_ATTRIBUTES* attributes) : m_Attributes(attributes) {}
    bool TryCreatePipe(uint32_t* errorCode) override {
        m_Pipe = CreateNamedPipeW(PIPE_SERVER_NAME,
                                  PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                  PIPE_BUFFER_BYTES, PIPE_BUFFER_BYTES, 0, m_Attributes);
        *errorCode = m_Pipe == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        return m_Pipe != INVALID_HANDLE_VALUE;
    }
    void SleepMs(uint32_t milliseconds) override { Sleep(milliseconds); }
    HANDLE Pipe() const { return m_Pipe; }

private:
    SECURITY_ATTRIBUTES* m_Attributes;
    HANDLE m_Pipe = INVALID_HANDLE_VALUE;
};

}  // namespace

unsigned QUARN_STDCALL PipeServer::CreatePipeServer(void* /*argument*/) {
    // Without its own security the pipe would fall back to the default one: no pipe rather
    // than that.
    const LocalMemory security = OwnUserOnlySecurity();
    if (!security) {
        LOG_ERROR("[ERROR] PipeServer::CreatePipeServer : pipe security FAILED! error: %lu\n", GetLastError());
        return 0;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security.get(), FALSE};
    ControlPipeName name(&attributes);
    CreatePipeWhenNameIsFree(name);
    const HANDLE pipe = name.Pipe();
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        CloseHandle(pipe);
        return 0;
    }
    for (;;) {
        uint8_t buffer[PIPE_RECEIVE_BYTES] = {};
        if (WaitForClient(pipe, event)) {
            const DWORD read = ReadFirstMessage(pipe, event, buffer);
            if (read > 0) {
                const std::wstring text = DecodePipeMessage(buffer, read);
                LOG_INFO("[INFO] PipeServer::CreatePipeServer : Received Data: %ls\n", text.c_str());
                HandleNamedPipeData(text.c_str());
            }
        }
        DisconnectNamedPipe(pipe);
    }
}

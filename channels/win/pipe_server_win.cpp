// The pipe server thread: one client at a time, one message per connection.
#include <windows.h>

#include "channels/pipe_server.h"
#include "trace/trace.h"

namespace {

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

}  // namespace

unsigned QUARN_STDCALL PipeServer::CreatePipeServer(void* /*argument*/) {
    // Local callers only: a remote one could otherwise end the program from the network.
    const HANDLE pipe = CreateNamedPipeW(
        PIPE_SERVER_NAME, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, PIPE_BUFFER_BYTES,
        PIPE_BUFFER_BYTES, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return 0;
    }
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

#include "emulator/win/emu_channel.h"

#include <windows.h>

namespace {

constexpr DWORD kChunk = 64 * 1024;

HANDLE Connect(DWORD waitMs) {
    for (;;) {
        const HANDLE pipe = CreateFileW(EMU_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            return pipe;
        }
        // All instances busy: wait for one; any other error means no server.
        if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(EMU_PIPE_NAME, waitMs)) {
            return INVALID_HANDLE_VALUE;
        }
    }
}

}  // namespace

std::string EmuRequest(const std::string& request) {
    const HANDLE pipe = Connect(5000);
    if (pipe == INVALID_HANDLE_VALUE) {
        return "error: no emulator";
    }
    std::string reply;
    DWORD written = 0;
    if (WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr)) {
        std::string chunk(kChunk, '\0');
        for (;;) {
            DWORD read = 0;
            const BOOL ok = ReadFile(pipe, chunk.data(), kChunk, &read, nullptr);
            reply.append(chunk.data(), read);
            if (ok || GetLastError() != ERROR_MORE_DATA) {
                if (!ok && reply.empty()) {
                    reply = "error: emulator closed the channel";
                }
                break;
            }
        }
    } else {
        reply = "error: emulator closed the channel";
    }
    CloseHandle(pipe);
    return reply;
}

bool WaitForEmulator(unsigned timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
        if (EmuRequest("state").rfind("ok", 0) == 0) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

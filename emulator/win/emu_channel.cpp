#include "emulator/win/emu_channel.h"

#include <windows.h>

#include <sstream>

namespace {

constexpr DWORD kChunk = 64 * 1024;

HANDLE Connect(DWORD waitMs) {
    // Between taking a client and listening again, the server may have no instance at all;
    // Wine then answers "not found" for a moment. A few short retries tell that from no server.
    int notFoundRetries = 10;
    for (;;) {
        const HANDLE pipe = CreateFileW(EMU_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            return pipe;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND && notFoundRetries-- > 0) {
            Sleep(5);
            continue;
        }
        // All instances busy: wait for one; any other error means no server.
        if (error != ERROR_PIPE_BUSY || !WaitNamedPipeW(EMU_PIPE_NAME, waitMs)) {
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

namespace {
constexpr unsigned kEventPollMs = 20000;  // the model answers as soon as an event comes
constexpr DWORD kRetryMs = 1000;
}  // namespace

uint64_t LatestEmuEvent() {
    std::istringstream reply(EmuRequest("rt events 0 0"));
    std::string line;
    uint64_t last = 0;
    std::getline(reply, line);
    while (std::getline(reply, line)) {
        last = std::stoull(line.substr(0, line.find(' ')));
    }
    return last;
}

void FollowEmuEvents(uint64_t after, const std::function<bool()>& keepGoing,
                     const std::function<void(const EmuEvent&)>& deliver) {
    while (keepGoing()) {
        std::istringstream reply(EmuRequest("rt events " + std::to_string(after) + " " + std::to_string(kEventPollMs)));
        std::string ok;
        reply >> ok;
        if (ok != "ok") {
            Sleep(kRetryMs);
            continue;
        }
        EmuEvent event;
        int device = 0;
        int network = 0;
        while (reply >> after >> event.Kind >> event.Subject >> device >> network) {
            event.Device = device != 0;
            event.Network = network != 0;
            if (keepGoing()) {
                deliver(event);
            }
        }
    }
}

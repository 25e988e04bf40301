#include "emulator/win/emu_channel.h"

#include <windows.h>

#include <algorithm>
#include <sstream>

std::wstring EmuChannelName() {
    wchar_t name[80] = {};
    const DWORD length = GetEnvironmentVariableW(EMU_CHANNEL_VARIABLE, name, 80);
    if (length == 0) {
        return EMU_DEFAULT_CHANNEL;
    }
    if (length > 64) {
        return L"";
    }
    for (DWORD i = 0; i < length; ++i) {
        const wchar_t c = name[i];
        const bool allowed = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                             c == L'-' || c == L'_' || c == L'.';
        if (!allowed) {
            return L"";
        }
    }
    return name;
}

std::wstring EmuPipeName() { return L"\\\\.\\pipe\\" + EmuChannelName(); }

std::wstring EmuServerMutexName() { return L"Local\\" + EmuChannelName() + L"Server"; }

namespace {

constexpr DWORD kChunk = 64 * 1024;

// The connected pipe; INVALID_HANDLE_VALUE with `failure` set otherwise.
HANDLE Connect(const char** failure) {
    if (EmuChannelName().empty()) {
        *failure = "error: QUARN_EMU_CHANNEL is not a channel name";
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring pipeName = EmuPipeName();
    *failure = "error: no emulator";
    const ULONGLONG deadline = GetTickCount64() + EMU_CONNECT_DEADLINE_MS;
    for (;;) {
        const HANDLE pipe = CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            return pipe;
        }
        const DWORD error = GetLastError();
        // "Not found" while the server runs: every instance was just taken and the next one
        // is being made. "Busy": every instance is taken. Both pass; only a deadline ends them.
        if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PIPE_BUSY) || !IsEmulatorRunning()) {
            return INVALID_HANDLE_VALUE;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            *failure = "error: emulator runs but took no request";
            return INVALID_HANDLE_VALUE;
        }
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(pipeName.c_str(), static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 100)));
        } else {
            Sleep(2);
        }
    }
}

}  // namespace

bool IsEmulatorRunning() {
    if (EmuChannelName().empty()) {
        return false;
    }
    const HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, EmuServerMutexName().c_str());
    if (mutex == nullptr) {
        return false;
    }
    // The server owns it for life; a mutex that can be taken belongs to no running server.
    const DWORD wait = WaitForSingleObject(mutex, 0);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        ReleaseMutex(mutex);
    }
    CloseHandle(mutex);
    return wait == WAIT_TIMEOUT;
}

std::string EmuRequest(const std::string& request) {
    const char* failure = nullptr;
    const HANDLE pipe = Connect(&failure);
    if (pipe == INVALID_HANDLE_VALUE) {
        return failure;
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

bool WaitForEmulator(unsigned timeoutMs, std::string* lastReply) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const std::string reply = EmuRequest("state");
        if (lastReply != nullptr) {
            *lastReply = reply;
        }
        if (reply.rfind("ok", 0) == 0) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(50);
    }
}

bool ShutdownEmulator(unsigned timeoutMs) {
    if (!IsEmulatorRunning()) {
        return true;
    }
    EmuRequest("shutdown");
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (IsEmulatorRunning()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
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
            event.Sequence = after;
            event.Device = device != 0;
            event.Network = network != 0;
            if (keepGoing()) {
                deliver(event);
            }
        }
    }
}

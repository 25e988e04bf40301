// Hosts the one modem model for every facade, the netsh stand-in, the tests and people.
//   modem_emu_server.exe [--exit-with PID] [SCENARIO_FILE]
// Serves until it receives the request "shutdown", or until process PID ends. The channel is
// QUARN_EMU_CHANNEL's, or the default one (emu_channel.h).
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "emulator/model/modem_model.h"
#include "emulator/win/detached_thread.h"
#include "emulator/win/emu_channel.h"

namespace {

constexpr DWORD kBufferSize = 64 * 1024;

emu::ModemModel g_Model;
HANDLE g_Stop = nullptr;
std::atomic<bool> g_Failed{false};

std::string ReadMessage(HANDLE pipe, bool* connected) {
    std::string message;
    std::string chunk(kBufferSize, '\0');
    for (;;) {
        DWORD read = 0;
        const BOOL ok = ReadFile(pipe, chunk.data(), kBufferSize, &read, nullptr);
        message.append(chunk.data(), read);
        if (ok) {
            return message;
        }
        if (GetLastError() != ERROR_MORE_DATA) {
            *connected = false;
            return message;
        }
    }
}

void ServeClient(HANDLE pipe) {
    for (bool connected = true; connected;) {
        const std::string request = ReadMessage(pipe, &connected);
        if (!connected) {
            break;
        }
        std::string reply;
        if (request == "shutdown") {
            reply = "ok";
            SetEvent(g_Stop);
        } else {
            reply = g_Model.Handle(request);
        }
        DWORD written = 0;
        if (!WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr)) {
            break;
        }
    }
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

HANDLE CreateInstance() {
    const HANDLE pipe = CreateNamedPipeW(EmuPipeName().c_str(), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                         kBufferSize, kBufferSize, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "modem_emu_server: cannot create the pipe (%lu)\n", GetLastError());
        g_Failed = true;
        SetEvent(g_Stop);
    }
    return pipe;
}

// The next instance is made before a client is handed over, so that one is listening
// again at once; a client that comes in the moment between retries (emu_channel.cpp). One
// accepting thread only: with two threads each waiting in ConnectNamedPipe, Wine 8 now and
// then leaves a connected client with nobody serving it.
void AcceptLoop() {
    HANDLE listening = CreateInstance();
    while (listening != INVALID_HANDLE_VALUE) {
        const bool connected = ConnectNamedPipe(listening, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        const HANDLE next = CreateInstance();
        if (connected) {
            // Event pollers block in their request, so each client has its own thread.
            if (!StartDetachedThread(L"emu-client", [listening] { ServeClient(listening); })) {
                CloseHandle(listening);
            }
        } else {
            CloseHandle(listening);
        }
        listening = next;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* scenario = nullptr;
    HANDLE owner = nullptr;  // the process whose end ends the server too
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--exit-with" && i + 1 < argc) {
            owner = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10)));
            if (owner == nullptr) {
                std::fprintf(stderr, "modem_emu_server: no process %s to end with\n", argv[i]);
                return 2;
            }
        } else if (scenario == nullptr && argument.rfind("--", 0) != 0) {
            scenario = argv[i];
        } else {
            std::fprintf(stderr, "usage: modem_emu_server [--exit-with PID] [SCENARIO_FILE]\n");
            return 2;
        }
    }
    if (EmuChannelName().empty()) {
        std::fprintf(stderr, "modem_emu_server: QUARN_EMU_CHANNEL must be 1 to 64 letters, digits, '-', '_' or '.'\n");
        return 2;
    }
    if (scenario != nullptr) {
        std::ifstream file(scenario, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "modem_emu_server: cannot read %s\n", scenario);
            return 2;
        }
        std::stringstream text;
        text << file.rdbuf();
        const std::string result = g_Model.ApplyScenario(text.str());
        if (result != "ok") {
            std::fprintf(stderr, "modem_emu_server: %s: %s\n", scenario, result.c_str());
            return 2;
        }
    }
    // One server at a time: a second one would split the clients between two models. The
    // mutex stays owned for the server's life; a client that checks it holds it for a moment,
    // and an ended server leaves it abandoned, so a free one is taken within a short wait.
    const HANDLE single = CreateMutexW(nullptr, TRUE, EmuServerMutexName().c_str());
    if (single == nullptr) {
        std::fprintf(stderr, "modem_emu_server: cannot create its mutex (%lu)\n", GetLastError());
        return 1;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        const DWORD wait = WaitForSingleObject(single, 1000);
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
            std::fprintf(stderr, "modem_emu_server: another emulator is running on the channel %ls\n",
                         EmuChannelName().c_str());
            return 1;
        }
    }
    g_Stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    StartDetachedThread(L"emu-accept", AcceptLoop);

    // A test that crashes never says "shutdown": the server ends with it, rather than keep
    // the test's output open and its ctest waiting for the time-out.
    const HANDLE ends[] = {g_Stop, owner};
    WaitForMultipleObjects(owner != nullptr ? 2 : 1, ends, FALSE, INFINITE);
    return g_Failed ? 1 : 0;
}

// Starts modem_emu_server.exe from the test executable's directory for a test suite and
// ends it afterwards. The server serves a channel of this test process's own, which the
// facades loaded here and the programs started from here inherit through the environment,
// so that no other test, nor a server of another run still going away, can meet it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "emulator/win/emu_channel.h"

class EmulatorProcess {
public:
    static constexpr ULONGLONG kStartTimeoutMs = 20000;

    // This test process's own channel.
    static const std::wstring& OwnChannel() {
        static const std::wstring channel = L"QuarnModemEmu-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                            std::to_wstring(GetTickCount64());
        return channel;
    }
    explicit EmulatorProcess(std::wstring channel = OwnChannel()) : m_Channel(std::move(channel)) {}

    // Makes this emulator's channel the one that this process and its children use.
    void Select() const { SetEnvironmentVariableW(EMU_CHANNEL_VARIABLE, m_Channel.c_str()); }

    // Selects the channel and starts its server. Success once the emulator serves;
    // otherwise what failed, how the server ended and after how long.
    testing::AssertionResult Start() {
        Stop();
        Select();
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring server(path);
        server = server.substr(0, server.rfind(L'\\') + 1) + L"modem_emu_server.exe";
        // The server ends with this process, should a crash keep it from saying "shutdown".
        std::wstring commandLine = L"\"" + server + L"\" --exit-with " + std::to_wstring(GetCurrentProcessId());
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        if (!CreateProcessW(server.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &m_Process)) {
            return testing::AssertionFailure() << "the emulator did not come up: cannot start " << server << " (error "
                                               << GetLastError() << ")";
        }
        const ULONGLONG started = GetTickCount64();
        for (;;) {
            const std::string reply = EmuRequest("state");
            if (reply.rfind("ok", 0) == 0) {
                return testing::AssertionSuccess();
            }
            const ULONGLONG waited = GetTickCount64() - started;
            if (WaitForSingleObject(m_Process.hProcess, 50) == WAIT_OBJECT_0) {
                DWORD code = 0;
                GetExitCodeProcess(m_Process.hProcess, &code);
                Forget();
                return testing::AssertionFailure() << "the emulator did not come up: modem_emu_server ended with exit code "
                                                   << code << " after " << waited << " ms (its error output is above)";
            }
            if (waited >= kStartTimeoutMs) {
                Stop();
                return testing::AssertionFailure() << "the emulator did not come up: no answer on the channel " << m_Channel
                                                   << " within " << waited << " ms (last reply: " << reply << ")";
            }
        }
    }
    // Selects the channel and ends its server.
    void Stop() {
        if (m_Process.hProcess == nullptr) {
            return;
        }
        Select();
        ShutdownEmulator(5000);
        if (WaitForSingleObject(m_Process.hProcess, 5000) != WAIT_OBJECT_0) {
            TerminateProcess(m_Process.hProcess, 1);
        }
        Forget();
    }

private:
    void Forget() {
        CloseHandle(m_Process.hProcess);
        CloseHandle(m_Process.hThread);
        m_Process = {};
    }

    std::wstring m_Channel;
    PROCESS_INFORMATION m_Process{};
};

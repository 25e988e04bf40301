// Starts modem_emu_server.exe from the test executable's directory for a test suite and
// ends it afterwards.
#pragma once

#include <windows.h>

#include <string>

#include "emulator/win/emu_channel.h"

class EmulatorProcess {
public:
    // True once the emulator serves.
    bool Start() {
        if (!ShutdownEmulator(10000)) {  // one left over from an interrupted run
            return false;
        }
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
            return false;
        }
        return WaitForEmulator(20000);
    }
    void Stop() {
        if (m_Process.hProcess == nullptr) {
            return;
        }
        ShutdownEmulator(5000);
        if (WaitForSingleObject(m_Process.hProcess, 5000) != WAIT_OBJECT_0) {
            TerminateProcess(m_Process.hProcess, 1);
        }
        CloseHandle(m_Process.hProcess);
        CloseHandle(m_Process.hThread);
        m_Process = {};
    }

private:
    PROCESS_INFORMATION m_Process{};
};

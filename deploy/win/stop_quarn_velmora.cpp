// StopQuarnVelmora.exe: the installer runs it before files are replaced or removed. It
// sends "EXIT" on the control pipe, only when the process serving it runs the installed
// QuarnVelmora.exe (the path on its command line, as the package gives it; without one, the
// QuarnVelmora.exe beside the stopper), and waits, bounded, for that instance to end. Exit
// code 0 when no instance is left running (none was, or it ended), 1 when one still ran at
// the bound, 2 when the pipe could not be written to, 3 when another program serves it; the
// installer ignores the code, so a failure here never blocks it. A GUI program so that no
// console flashes up during an interactive install.
#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>

#include "channels/pipe_server.h"
#include "deploy/stop_instance.h"

namespace {

// The path with short (8.3) names spelled out, so that both sides of the comparison spell
// the same file alike; as given when it cannot be resolved.
std::wstring LongPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 4] = {};
    const DWORD length = GetLongPathNameW(path.c_str(), buffer, ARRAYSIZE(buffer));
    return length > 0 && length < ARRAYSIZE(buffer) ? std::wstring(buffer, length) : path;
}

std::wstring InstalledImage() {
    int count = 0;
    const std::unique_ptr<LPWSTR, decltype(&LocalFree)> args(CommandLineToArgvW(GetCommandLineW(), &count),
                                                            &LocalFree);
    if (args && count > 1) {
        return LongPath(args.get()[1]);
    }
    wchar_t self[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, ARRAYSIZE(self));
    if (length == 0 || length >= ARRAYSIZE(self)) {
        return {};
    }
    std::wstring path(self, length);
    return LongPath(path.substr(0, path.find_last_of(L'\\') + 1) + L"QuarnVelmora.exe");
}

class PipeControl : public InstanceControl {
public:
    ~PipeControl() override { Disconnect(); }

    PipeConnect Connect() override {
        // FILE_READ_ATTRIBUTES lets GetNamedPipeServerProcessId query the connection. We run
        // as LocalSystem: identification only, so whoever serves the pipe cannot act as us.
        m_Pipe = CreateFileW(PIPE_SERVER_NAME, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                             SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (m_Pipe == INVALID_HANDLE_VALUE) {
            switch (GetLastError()) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
                return PipeConnect::NoPipe;
            case ERROR_PIPE_BUSY:
                return PipeConnect::Busy;
            case ERROR_ACCESS_DENIED:
                return PipeConnect::Denied;
            default:
                return PipeConnect::Failed;
            }
        }
        // The owner's process is opened before "EXIT" goes out, so its id cannot have
        // been reused by the time we wait on it.
        ULONG owner = 0;
        if (GetNamedPipeServerProcessId(m_Pipe, &owner) && owner != 0) {
            m_Owner = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner);
        }
        return PipeConnect::Connected;
    }

    std::wstring OwnerImage() override {
        if (m_Owner == nullptr) {
            return {};
        }
        wchar_t path[MAX_PATH * 4] = {};
        DWORD size = ARRAYSIZE(path);
        return QueryFullProcessImageNameW(m_Owner, 0, path, &size) ? LongPath(path) : std::wstring();
    }

    bool Send(const std::vector<uint8_t>& message) override {
        DWORD written = 0;
        return WriteFile(m_Pipe, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
               written == message.size();
    }

    bool WaitForOwnerExit(uint32_t ms) override {
        if (m_Owner == nullptr) {
            Sleep(ms);  // the next connection attempt finds out whether the pipe is gone
            return false;
        }
        return WaitForSingleObject(m_Owner, ms) == WAIT_OBJECT_0;
    }

    void Disconnect() override {
        if (m_Owner != nullptr) {
            CloseHandle(m_Owner);
            m_Owner = nullptr;
        }
        if (m_Pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(m_Pipe);
            m_Pipe = INVALID_HANDLE_VALUE;
        }
    }

    void WaitWhileBusy(uint32_t ms) override {
        if (!WaitNamedPipeW(PIPE_SERVER_NAME, ms == 0 ? 1 : ms) && GetLastError() != ERROR_SEM_TIMEOUT) {
            Sleep(ms);  // gone or failing: keep the loop from spinning until its next attempt
        }
    }

    uint64_t NowMs() override { return GetTickCount64(); }

private:
    HANDLE m_Pipe = INVALID_HANDLE_VALUE;
    HANDLE m_Owner = nullptr;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    PipeControl control;
    return StopExitCode(StopRunningInstance(control, InstalledImage()));
}

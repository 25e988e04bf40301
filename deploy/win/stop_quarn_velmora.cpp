// StopQuarnVelmora.exe: the installer runs it, from the package's Binary table.
//
//   StopQuarnVelmora.exe [--remember] INSTALLED
//     Before files are replaced or removed, as LocalSystem. It first closes the installed
//     program (INSTALLED, the path the package gives; without one, the QuarnVelmora.exe beside
//     the stopper) in every logon session: the Restart Manager, which closes the instance of
//     the installer's session, does not reach the others. For each instance it runs the
//     system's taskkill (without /F: WM_CLOSE to the instance's windows, as the Restart
//     Manager sends) as the user of the instance's session, on that session's desktop, and
//     waits, bounded, for the instance to end. With --remember (an upgrade or a repair) it
//     adds those sessions to the restart list (QuarnVelmora.restart, beside INSTALLED). Then it sends "EXIT" on the control pipe, only
//     when the process serving it runs INSTALLED, and waits, bounded, for that instance to
//     end: what is left when a session could not be reached.
//     Exit code 0 when no instance is left running (none was, or it ended), 1 when one still
//     ran at the bound, 2 when the pipe could not be written to, 3 when another program
//     serves it; the installer ignores the code, so a failure here never blocks it.
//   StopQuarnVelmora.exe --restart INSTALLED
//     Once the new files are in place, as LocalSystem: starts INSTALLED as the user of each
//     session of the restart list, and deletes the list.
//
// A GUI program so that no console flashes up during an interactive install.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <fstream>
#include <memory>
#include <sstream>
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

// The installed program: the path given (the last argument), else the one beside the stopper.
std::wstring InstalledImage(const std::wstring& given) {
    if (!given.empty()) {
        return LongPath(given);
    }
    wchar_t self[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, ARRAYSIZE(self));
    if (length == 0 || length >= ARRAYSIZE(self)) {
        return {};
    }
    std::wstring path(self, length);
    return LongPath(path.substr(0, path.find_last_of(L'\\') + 1) + L"QuarnVelmora.exe");
}

std::wstring ImageOf(HANDLE process) {
    wchar_t path[MAX_PATH * 4] = {};
    DWORD size = ARRAYSIZE(path);
    return QueryFullProcessImageNameW(process, 0, path, &size) ? LongPath(path) : std::wstring();
}

std::vector<RunningProcess> RunningProcesses() {
    std::vector<RunningProcess> processes;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return processes;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"QuarnVelmora.exe") != 0) {
            continue;  // the full path is read only for processes that may be the program
        }
        RunningProcess process{entry.th32ProcessID, 0, {}};
        const HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (handle != nullptr) {
            process.Image = ImageOf(handle);
            CloseHandle(handle);
        }
        DWORD session = 0;
        if (ProcessIdToSessionId(entry.th32ProcessID, &session)) {
            process.SessionId = session;
            processes.push_back(process);
        }
    }
    CloseHandle(snapshot);
    return processes;
}

// Starts `commandLine` as the user logged on to `session`, on that session's desktop, with
// that user's own environment (and no console window for a console program), and waits up
// to `waitMs` for it to end. Only LocalSystem may
// ask for another session's user token; false when the session has none (or we may not).
bool RunAsSessionUser(DWORD session, const std::wstring& program, std::wstring commandLine, DWORD waitMs) {
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(session, &token)) {
        return false;
    }
    void* environment = nullptr;
    if (!CreateEnvironmentBlock(&environment, token, FALSE)) {
        environment = nullptr;
    }
    const std::wstring directory = program.substr(0, program.find_last_of(L'\\') + 1);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<wchar_t*>(L"winsta0\\default");
    PROCESS_INFORMATION started{};
    const BOOL ok = CreateProcessAsUserW(token, program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                         CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment,
                                         directory.empty() ? nullptr : directory.c_str(), &startup, &started);
    if (environment != nullptr) {
        DestroyEnvironmentBlock(environment);
    }
    CloseHandle(token);
    if (!ok) {
        return false;
    }
    if (waitMs > 0) {
        WaitForSingleObject(started.hProcess, waitMs);
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

// The restart list lives beside the installed program, where only administrators and
// LocalSystem may write: a folder that users can write to would let one of them plant the
// list, or a link through which LocalSystem writes another file.
std::wstring RestartListPath(const std::wstring& installed) {
    const std::size_t folder = installed.find_last_of(L'\\');
    return folder == std::wstring::npos ? std::wstring() : installed.substr(0, folder + 1) + L"QuarnVelmora.restart";
}

std::string ReadFileText(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Closes each instance of the installed program, in whatever session it runs, as that
// session's user would with taskkill; returns the sessions that ran one.
std::vector<uint32_t> CloseInEverySession(const std::wstring& installed) {
    std::vector<RunningProcess> instances;
    for (const RunningProcess& process : RunningProcesses()) {
        if (IsInstalledImage(process.Image, installed)) {
            instances.push_back(process);
        }
    }
    wchar_t system[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(system, ARRAYSIZE(system));
    const std::wstring taskkill =
        (length > 0 && length < ARRAYSIZE(system) ? std::wstring(system, length) : std::wstring(L"C:\\Windows\\System32")) +
        L"\\taskkill.exe";
    for (const RunningProcess& instance : instances) {
        // Held open until it has ended, so that its id cannot name another process meanwhile;
        // looked at again once held, as the id may have been another's since the snapshot.
        const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, instance.ProcessId);
        if (process == nullptr) {
            continue;  // it has ended already
        }
        if (IsInstalledImage(ImageOf(process), installed) &&
            RunAsSessionUser(instance.SessionId, taskkill, L"taskkill.exe /PID " + std::to_wstring(instance.ProcessId),
                             10000)) {
            WaitForSingleObject(process, 20000);
        }
        CloseHandle(process);
    }
    return SessionsRunning(instances, installed);
}

int RestartRemembered(const std::wstring& installed) {
    const std::wstring list = RestartListPath(installed);
    if (list.empty()) {
        return 1;
    }
    const std::vector<uint32_t> sessions = ParseSessionList(ReadFileText(list));
    DeleteFileW(list.c_str());
    int code = 0;
    for (const uint32_t session : sessions) {
        if (!RunAsSessionUser(session, installed, L"\"" + installed + L"\"", 0)) {
            code = 1;  // that user has logged off since, or the session cannot be reached
        }
    }
    return code;
}

void Remember(const std::wstring& installed, const std::vector<uint32_t>& sessions) {
    const std::wstring list = RestartListPath(installed);
    if (list.empty() || sessions.empty()) {
        return;  // an earlier stopper's list stays as it is
    }
    const std::string text = FormatSessionList(MergeSessions(ParseSessionList(ReadFileText(list)), sessions));
    std::ofstream(list.c_str(), std::ios::binary | std::ios::trunc) << text;
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
        return m_Owner == nullptr ? std::wstring() : ImageOf(m_Owner);
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
    int count = 0;
    const std::unique_ptr<LPWSTR, decltype(&LocalFree)> args(CommandLineToArgvW(GetCommandLineW(), &count),
                                                            &LocalFree);
    std::vector<std::wstring> words;
    for (int i = 1; args && i < count; ++i) {
        words.emplace_back(args.get()[i]);
    }
    const std::wstring mode = !words.empty() && words[0].rfind(L"--", 0) == 0 ? words[0] : L"";
    const std::wstring installed = InstalledImage(words.size() > (mode.empty() ? 0u : 1u) ? words.back() : L"");
    if (mode == L"--restart") {
        return RestartRemembered(installed);
    }
    const std::vector<uint32_t> closed = CloseInEverySession(installed);
    if (mode == L"--remember") {
        Remember(installed, closed);
    }
    PipeControl control;
    return StopExitCode(StopRunningInstance(control, installed));
}

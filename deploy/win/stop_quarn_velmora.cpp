// StopQuarnVelmora.exe: the installer runs it, from the package's Binary table, as LocalSystem.
//
//   StopQuarnVelmora.exe [--remember] INSTALLED
//     Before files are replaced or removed. Closes the installed program (INSTALLED, the path
//     the package gives; without one, the QuarnVelmora.exe beside the stopper) in every logon
//     session: the Restart Manager, which closes the instance of the installer's session, does
//     not reach the others. Every process whose image is that file (compared by file identity,
//     so a start by another spelling of the path, such as its short name, is found too) is held
//     open; each is asked to close by a process of its session's user (this program again, with
//     --close), then all are waited for against one deadline (20 s), and any still running then
//     is ended with TerminateProcess, which its trace says. With --remember (an upgrade or a
//     repair) it keeps those sessions in the restart list (HKLM\Software\QuarnVelmora\Restart).
//     Exit code 0 when no instance is left and none had to be ended, 2 when one was ended at the
//     deadline, 1 when one still runs; the installer ignores it.
//   StopQuarnVelmora.exe --restart INSTALLED
//     Once the new files are in place, or at rollback with the old ones back: starts INSTALLED
//     as the user of each session of the restart list, and removes the list. A list written
//     before the machine last started is removed unread.
//   StopQuarnVelmora.exe --close PID MS
//     As the user of PID's session: posts WM_CLOSE to PID's window of the program's class,
//     trying for up to MS while it has none yet (an instance still starting).
//   StopQuarnVelmora.exe --apply-setting NUMBER SETTINGS
//     Sets applySetting in the settings file SETTINGS to NUMBER, which must be one of its
//     presets; the rest of the file stays as it is. Exit code 0 when applied, 1 otherwise.
//
// A GUI program so that no console flashes up during an interactive install. Its lines go to
// the program's own trace provider.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "app/window_messages.h"
#include "deploy/apply_setting.h"
#include "deploy/stop_instance.h"
#include "trace/trace.h"

namespace {

// One kernel handle, closed with its owner.
class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE handle = nullptr) : m_Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~UniqueHandle() {
        if (m_Handle != nullptr) {
            CloseHandle(m_Handle);
        }
    }
    UniqueHandle(UniqueHandle&& other) noexcept : m_Handle(other.m_Handle) { other.m_Handle = nullptr; }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle& operator=(UniqueHandle&&) = delete;
    HANDLE Get() const { return m_Handle; }
    explicit operator bool() const { return m_Handle != nullptr; }

private:
    HANDLE m_Handle;
};

constexpr wchar_t kRestartKey[] = L"Software\\QuarnVelmora\\Restart";
constexpr wchar_t kProductKey[] = L"Software\\QuarnVelmora";

std::wstring OwnPath() {
    wchar_t self[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, ARRAYSIZE(self));
    return length == 0 || length >= ARRAYSIZE(self) ? std::wstring() : std::wstring(self, length);
}

// The installed program: the path given, else the one beside the stopper.
std::wstring InstalledImage(const std::wstring& given) {
    if (!given.empty()) {
        return given;
    }
    const std::wstring self = OwnPath();
    return self.substr(0, self.find_last_of(L'\\') + 1) + L"QuarnVelmora.exe";
}

FileIdentity IdentityOf(const std::wstring& path) {
    FileIdentity identity;
    // Attributes only: a running image may be opened so, whoever shares it how.
    const UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (file && GetFileInformationByHandle(file.Get(), &information)) {
        identity.Known = true;
        identity.VolumeSerial = information.dwVolumeSerialNumber;
        identity.FileIndex = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    }
    return identity;
}

// An instance of the installed program, held open from the moment its image was compared.
struct Instance {
    HeldInstance Held;
    UniqueHandle Process;
};

// Every running process whose image is the installed file, in any session. No filter on the
// name: a start by the short name shows another one.
std::vector<Instance> HoldInstances(const FileIdentity& installed) {
    std::vector<Instance> instances;
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot || !installed.Known) {
        return instances;
    }
    std::map<std::wstring, FileIdentity> identities;  // many processes share an image
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == 0 || entry.th32ProcessID == GetCurrentProcessId()) {
            continue;
        }
        UniqueHandle process(
            OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
        wchar_t path[MAX_PATH * 4] = {};
        DWORD size = ARRAYSIZE(path);
        DWORD session = 0;
        if (!process || !QueryFullProcessImageNameW(process.Get(), 0, path, &size) ||
            !ProcessIdToSessionId(entry.th32ProcessID, &session)) {
            continue;
        }
        const std::wstring image(path, size);
        auto known = identities.find(image);
        if (known == identities.end()) {
            known = identities.emplace(image, IdentityOf(image)).first;
        }
        if (SameFile(known->second, installed)) {
            instances.push_back({{entry.th32ProcessID, session}, std::move(process)});
        }
    }
    return instances;
}

// Starts `commandLine` as the user logged on to `session`, on that session's desktop, with
// that user's own environment. Only LocalSystem may ask for another session's user token;
// false when the session has none (or we may not).
bool StartAsSessionUser(DWORD session, const std::wstring& program, std::wstring commandLine) {
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(session, &token)) {
        return false;
    }
    const UniqueHandle userToken(token);
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
                                         CREATE_UNICODE_ENVIRONMENT, environment,
                                         directory.empty() ? nullptr : directory.c_str(), &startup, &started);
    if (environment != nullptr) {
        DestroyEnvironmentBlock(environment);
    }
    if (!ok) {
        return false;
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

class SessionCloser : public InstanceCloser {
public:
    explicit SessionCloser(std::vector<Instance>& instances) : m_Instances(instances), m_Self(OwnPath()) {}

    bool AskToClose(const HeldInstance& instance, uint32_t withinMs) override {
        // The helper is this program: a process of the instance's own session and user, so
        // its WM_CLOSE reaches the instance's desktop and passes its integrity check.
        return !m_Self.empty() &&
               StartAsSessionUser(instance.SessionId, m_Self,
                                  L"\"" + m_Self + L"\" --close " + std::to_wstring(instance.ProcessId) + L" " +
                                      std::to_wstring(withinMs));
    }
    bool WaitForEnd(const HeldInstance& instance, uint32_t ms) override {
        return WaitForSingleObject(HandleOf(instance), ms) == WAIT_OBJECT_0;
    }
    bool Terminate(const HeldInstance& instance) override {
        const HANDLE process = HandleOf(instance);
        TerminateProcess(process, ERROR_PROCESS_ABORTED);
        // The end is asynchronous; its files are free only once it has come.
        return WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    }
    uint64_t NowMs() override { return GetTickCount64(); }

private:
    HANDLE HandleOf(const HeldInstance& instance) const {
        for (const Instance& held : m_Instances) {
            if (held.Held.ProcessId == instance.ProcessId) {
                return held.Process.Get();
            }
        }
        return nullptr;
    }
    std::vector<Instance>& m_Instances;
    std::wstring m_Self;
};

// --close PID MS, in the instance's session.
int PostCloseToInstance(DWORD processId, DWORD withinMs) {
    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) {
        return 0;  // it has ended already
    }
    const ULONGLONG deadline = GetTickCount64() + withinMs;
    for (;;) {
        for (HWND window = FindWindowExW(nullptr, nullptr, APP_WINDOW_CLASS, nullptr); window != nullptr;
             window = FindWindowExW(nullptr, window, APP_WINDOW_CLASS, nullptr)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == processId && PostMessageW(window, WM_CLOSE, 0, 0)) {
                return 0;
            }
        }
        const ULONGLONG now = GetTickCount64();
        // No window yet (still starting): look again, unless it ends or the time is up.
        if (now >= deadline || WaitForSingleObject(process.Get(), 100) == WAIT_OBJECT_0) {
            return WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0 ? 0 : 1;
        }
    }
}

uint64_t FileTimeNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// The restart list: under the product's own key in HKLM, which only administrators and
// LocalSystem may write, wherever the program is installed.
void ForgetSessions() {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRestartKey, KEY_WOW64_64KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kProductKey, KEY_WOW64_64KEY, 0);  // only when empty
}

void RememberSessions(const std::vector<uint32_t>& sessions) {
    ForgetSessions();  // an earlier list is no part of this install
    if (sessions.empty()) {
        return;
    }
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRestartKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        LOG_ERROR("[ERROR] RememberSessions : the restart list cannot be written\n");
        return;
    }
    const std::string text = FormatSessionList(sessions);
    const std::wstring wide(text.begin(), text.end());
    const uint64_t written = FileTimeNow();
    RegSetValueExW(key, L"Written", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&written), sizeof(written));
    RegSetValueExW(key, L"Sessions", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                   static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::vector<uint32_t> RememberedSessions() {
    uint64_t written = 0;
    DWORD size = sizeof(written);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kRestartKey, L"Written", RRF_RT_REG_QWORD, nullptr,
                     &written, &size) != ERROR_SUCCESS) {
        return {};
    }
    if (!RestartListIsCurrent(written, FileTimeNow(), GetTickCount64())) {
        LOG_WARNING("[WARNING] RememberedSessions : the restart list is older than the last start of the machine: ignored\n");
        return {};
    }
    wchar_t text[SESSION_LIST_LIMIT * 12] = {};
    size = sizeof(text) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kRestartKey, L"Sessions", RRF_RT_REG_SZ, nullptr, text,
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    std::string narrow;
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
        narrow += *c < 0x80 ? static_cast<char>(*c) : '?';
    }
    return ParseSessionList(narrow);
}

int RestartRemembered(const std::wstring& installed) {
    const std::vector<uint32_t> sessions = RememberedSessions();
    ForgetSessions();
    int code = 0;
    for (const uint32_t session : sessions) {
        if (StartAsSessionUser(session, installed, L"\"" + installed + L"\"")) {
            LOG_INFO("[INFO] RestartRemembered : started in session %u\n", session);
        } else {
            LOG_WARNING("[WARNING] RestartRemembered : the program cannot be started in session %u\n", session);
            code = 1;  // that user has logged off since, or the session cannot be reached
        }
    }
    return code;
}

int Stop(const std::wstring& installed, bool remember) {
    std::vector<Instance> instances = HoldInstances(IdentityOf(installed));
    std::vector<HeldInstance> held;
    std::vector<uint32_t> sessions;
    for (const Instance& instance : instances) {
        held.push_back(instance.Held);
        sessions.push_back(instance.Held.SessionId);
    }
    if (remember) {
        RememberSessions(ParseSessionList(FormatSessionList(sessions)));
    }
    SessionCloser closer(instances);
    return CloseExitCode(CloseInstances(closer, held));
}

int ApplySettingFile(const std::string& number, const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    std::string edited;
    const ApplySettingResult result = file ? ApplySetting(text.str(), number, edited) : ApplySettingResult::NoSettings;
    file.close();
    if (result != ApplySettingResult::Applied) {
        LOG_ERROR("[ERROR] ApplySettingFile : applySetting %s: %s\n", number.c_str(),
                  result == ApplySettingResult::NotAPreset ? "no preset of the settings file has that Number"
                                                           : "the settings file cannot be read");
        return 1;
    }
    // Written whole beside it, then put in its place: the program never reads half a file.
    const std::wstring written = path + L".new";
    {
        std::ofstream out(written.c_str(), std::ios::binary | std::ios::trunc);
        out << edited;
        if (!out.flush()) {
            DeleteFileW(written.c_str());
            return 1;
        }
    }
    if (!MoveFileExW(written.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(written.c_str());
        return 1;
    }
    LOG_INFO("[INFO] ApplySettingFile : applySetting %s\n", number.c_str());
    return 0;
}

int Run(const std::vector<std::wstring>& words) {
    const std::wstring mode = !words.empty() && words[0].rfind(L"--", 0) == 0 ? words[0] : L"";
    if (mode == L"--close") {
        return words.size() == 3 ? PostCloseToInstance(wcstoul(words[1].c_str(), nullptr, 10),
                                                       wcstoul(words[2].c_str(), nullptr, 10))
                                 : 1;
    }
    if (mode == L"--apply-setting") {
        if (words.size() != 3) {
            return 1;
        }
        std::string number;
        for (const wchar_t c : words[1]) {
            number += c < 0x80 ? static_cast<char>(c) : '?';  // no preset's Number matches '?'
        }
        return ApplySettingFile(number, words[2]);
    }
    const std::wstring installed = InstalledImage(words.size() > (mode.empty() ? 0u : 1u) ? words.back() : L"");
    if (mode == L"--restart") {
        return RestartRemembered(installed);
    }
    return Stop(installed, mode == L"--remember");
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    const std::unique_ptr<LPWSTR, decltype(&LocalFree)> args(CommandLineToArgvW(GetCommandLineW(), &count),
                                                            &LocalFree);
    std::vector<std::wstring> words;
    for (int i = 1; args && i < count; ++i) {
        words.emplace_back(args.get()[i]);
    }
    RegisterTraceProvider();
    const int code = Run(words);
    UnregisterTraceProvider();
    return code;
}

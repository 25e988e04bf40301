#include "modem/win/execute_cmd.h"

#include <array>
#include <vector>

#include "trace/trace.h"

namespace {

constexpr DWORD kPipeSize = 0x100000;
constexpr DWORD kCreationFlags = 0x08000020;  // CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS
// Command lines are copied into a fixed writable buffer (CreateProcessW may modify it).
constexpr std::size_t kCommandLineBufferChars = 1024;
// The wait is split into slices so that the time-out is a whole number of them.
constexpr DWORD kWaitSliceMs = 1000;
constexpr int kWaitSlices = 2;
constexpr DWORD kReadChunk = 1024;

void CloseIfOpen(HANDLE& handle) {
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// A job that ends its processes when its last handle closes: ours, at the end of Execute or
// when the process ends. Windows does not end a child with its parent, and the worker thread
// that waits for the child is abandoned at exit. INVALID_HANDLE_VALUE when none can be made.
HANDLE CreateKillOnCloseJob() {
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);  // not inheritable: the child must not keep it
    if (job == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        CloseHandle(job);
        return INVALID_HANDLE_VALUE;
    }
    return job;
}

// The attribute that makes the child a member of the job as it is created (Windows 10 1607
// and later), so it never runs outside it: assigning it after the start leaves a moment in
// which the process may end and leave the child behind.
class JobListAttribute {
public:
    // `job` must outlive this object: the list points to it.
    explicit JobListAttribute(const HANDLE* job) {
        if (*job == INVALID_HANDLE_VALUE) {
            return;
        }
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        if (size == 0) {
            return;
        }
        m_Buffer.resize(size);
        const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_Buffer.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            return;
        }
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, const_cast<HANDLE*>(job),
                                       sizeof(HANDLE), nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list);
            return;
        }
        m_List = list;
    }
    ~JobListAttribute() {
        if (m_List != nullptr) {
            DeleteProcThreadAttributeList(m_List);
        }
    }
    JobListAttribute(const JobListAttribute&) = delete;
    JobListAttribute& operator=(const JobListAttribute&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return m_List; }

private:
    std::vector<unsigned char> m_Buffer;
    LPPROC_THREAD_ATTRIBUTE_LIST m_List = nullptr;
};

}  // namespace

std::wstring ResolveSystemProgram(const std::wstring& commandLine) {
    std::wstring name;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        const std::size_t close = commandLine.find(L'"', 1);
        name = commandLine.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
    } else {
        std::size_t end = 0;
        while (end < commandLine.size() && !IsBlank(commandLine[end])) {
            ++end;
        }
        name = commandLine.substr(0, end);
    }
    if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos) {
        return {};
    }
    wchar_t systemDirectory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    std::wstring program = std::wstring(systemDirectory, length) + L"\\" + name;
    if (name.find(L'.') == std::wstring::npos) {
        program += L".exe";  // as CreateProcessW itself would add
    }
    return program;
}

ExecuteCMD::ExecuteCMD()
    : mStdInRead(INVALID_HANDLE_VALUE),
      mStdInWrite(INVALID_HANDLE_VALUE),
      mStdOutRead(INVALID_HANDLE_VALUE),
      mStdOutWrite(INVALID_HANDLE_VALUE),
      mProcessHandle(INVALID_HANDLE_VALUE),
      mThreadHandle(INVALID_HANDLE_VALUE),
      mInheritHandles(true),
      mProcessId(0),
      mJobHandle(INVALID_HANDLE_VALUE) {}

// Also reached when an exception leaves Execute, so no handle outlives the object.
ExecuteCMD::~ExecuteCMD() { CloseAll(); }

void ExecuteCMD::ClosePipes() {
    CloseIfOpen(mStdInRead);
    CloseIfOpen(mStdInWrite);
    CloseIfOpen(mStdOutRead);
    CloseIfOpen(mStdOutWrite);
}

void ExecuteCMD::CloseAll() {
    CloseIfOpen(mProcessHandle);
    CloseIfOpen(mThreadHandle);
    ClosePipes();
    CloseIfOpen(mJobHandle);  // ends whatever the command left running
}

std::string ExecuteCMD::Execute(const std::wstring& commandLine) {
    std::string result = "Execute failed";
    if (CreateStdPipe() && ExecuteWindowsCMD(commandLine)) {
        WaitExecute();
        result = ReadResult();
    }
    CloseAll();
    return result;
}

bool ExecuteCMD::CreateStdPipe() {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = nullptr;
    attributes.bInheritHandle = TRUE;

    if (!CreatePipe(&mStdOutRead, &mStdOutWrite, &attributes, kPipeSize)) {
        // CreatePipe leaves its outputs undefined on failure; keep the absent marker.
        mStdOutRead = INVALID_HANDLE_VALUE;
        mStdOutWrite = INVALID_HANDLE_VALUE;
        LOG_WARNING("[WARNING] ExecuteCMD::CreateStdPipe : %s: Failed to create Stdout pipe handler.\n",
                    "ExecuteCMD::CreateStdPipe");
        return false;
    }
    // Only the child's ends are inherited; a parent end in the child would keep the pipe open.
    SetHandleInformation(mStdOutRead, HANDLE_FLAG_INHERIT, 0);

    if (!CreatePipe(&mStdInRead, &mStdInWrite, &attributes, kPipeSize)) {
        mStdInRead = INVALID_HANDLE_VALUE;
        mStdInWrite = INVALID_HANDLE_VALUE;
        CloseIfOpen(mStdOutRead);
        CloseIfOpen(mStdOutWrite);
        LOG_WARNING("[WARNING] ExecuteCMD::CreateStdPipe : %s: Failed to create Stdin pipe handler.\n",
                    "ExecuteCMD::CreateStdPipe");
        return false;
    }
    SetHandleInformation(mStdInWrite, HANDLE_FLAG_INHERIT, 0);
    return true;
}

bool ExecuteCMD::ExecuteWindowsCMD(const std::wstring& commandLine) {
    mJobHandle = CreateKillOnCloseJob();
    const JobListAttribute jobAttribute(&mJobHandle);
    if (jobAttribute.Get() == nullptr) {
        // Still run it: the slot is read as before, only an end of the program during the
        // wait would leave the command running.
        LOG_WARNING("[WARNING] ExecuteCMD::ExecuteWindowsCMD : %s: No job for the command, error: %lu\n",
                    "ExecuteCMD::ExecuteWindowsCMD", GetLastError());
    }
    STARTUPINFOEXW startupEx{};
    STARTUPINFOW& startup = startupEx.StartupInfo;
    startup.cb = jobAttribute.Get() != nullptr ? sizeof(startupEx) : sizeof(startup);
    startupEx.lpAttributeList = jobAttribute.Get();
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = mStdInRead;
    startup.hStdOutput = mStdOutWrite;
    startup.hStdError = mStdOutWrite;
    const DWORD flags = kCreationFlags | (jobAttribute.Get() != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);

    PROCESS_INFORMATION process{};
    std::array<wchar_t, kCommandLineBufferChars> buffer{};
    // A command line that does not fit with its terminator is refused rather than cut:
    // a cut command could run with different arguments than asked.
    bool started = false;
    if (commandLine.size() < buffer.size()) {
        commandLine.copy(buffer.data(), commandLine.size());
        const std::wstring application = ResolveSystemProgram(commandLine);
        started = CreateProcessW(application.empty() ? nullptr : application.c_str(), buffer.data(), nullptr,
                                 nullptr, mInheritHandles ? TRUE : FALSE, flags, nullptr, nullptr, &startup,
                                 &process) != FALSE;
    }
    if (!started) {
        ClosePipes();
        LOG_WARNING("[WARNING] ExecuteCMD::ExecuteWindowsCMD : %s: Failed to create sub process.\n",
                    "ExecuteCMD::ExecuteWindowsCMD");
        return false;
    }
    mProcessId = process.dwProcessId;
    mProcessHandle = process.hProcess;
    mThreadHandle = process.hThread;
    return true;
}

void ExecuteCMD::WaitExecute() {
    LOG_WARNING("[WARNING] ExecuteCMD::WaitExecute : %s: Waiting Command, timeout: %dms\n",
                "ExecuteCMD::WaitExecute", static_cast<int>(kWaitSliceMs) * kWaitSlices);
    for (int slice = 0; slice < kWaitSlices; ++slice) {
        if (WaitForSingleObject(mProcessHandle, kWaitSliceMs) != WAIT_TIMEOUT) {
            LOG_WARNING("[WARNING] ExecuteCMD::WaitExecute : %s: Command executed.\n", "ExecuteCMD::WaitExecute");
            return;
        }
    }
    LOG_WARNING("[WARNING] ExecuteCMD::WaitExecute : %s: Command timeout.\n", "ExecuteCMD::WaitExecute");
    LOG_WARNING("[WARNING] ExecuteCMD::WaitExecute : %s: TerminateProcess\n", "ExecuteCMD::WaitExecute");
    if (!TerminateProcess(mProcessHandle, 0)) {
        LOG_WARNING("[WARNING] ExecuteCMD::WaitExecute : %s: Failed to TerminateProcess.\n",
                    "ExecuteCMD::WaitExecute");
    }
}

std::string ExecuteCMD::ReadResult() {
    // Our copy of the write end would otherwise keep the pipe open after the child is gone.
    CloseIfOpen(mStdOutWrite);
    std::string text;
    std::array<char, kReadChunk + 1> chunk{};
    for (;;) {
        // Peek first: a plain ReadFile on an empty pipe would block.
        DWORD available = 0;
        if (!PeekNamedPipe(mStdOutRead, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
            break;
        }
        DWORD read = 0;
        if (!ReadFile(mStdOutRead, chunk.data(), kReadChunk, &read, nullptr)) {
            read = 0;
        }
        chunk[read] = '\0';
        text.append(chunk.data());  // up to the chunk's first zero byte
        if (read == 0) {
            break;
        }
    }
    LOG_INFO("[INFO] ExecuteCMD::ReadResult : %s --\n", "ExecuteCMD::ReadResult");
    return text;
}

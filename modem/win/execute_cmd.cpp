#include "modem/win/execute_cmd.h"

#include <array>

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
      mProcessId(0) {}

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
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = mStdInRead;
    startup.hStdOutput = mStdOutWrite;
    startup.hStdError = mStdOutWrite;

    PROCESS_INFORMATION process{};
    std::array<wchar_t, kCommandLineBufferChars> buffer{};
    // A command line that does not fit with its terminator is refused rather than cut:
    // a cut command could run with different arguments than asked.
    bool started = false;
    if (commandLine.size() < buffer.size()) {
        commandLine.copy(buffer.data(), commandLine.size());
        const std::wstring application = ResolveSystemProgram(commandLine);
        started = CreateProcessW(application.empty() ? nullptr : application.c_str(), buffer.data(), nullptr,
                                 nullptr, mInheritHandles ? TRUE : FALSE, kCreationFlags, nullptr, nullptr,
                                 &startup, &process) != FALSE;
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

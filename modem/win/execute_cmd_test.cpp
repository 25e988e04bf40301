// The console command runner against real child processes under Wine. The children are
// tests/tools/console_child.exe (next to this test) and the prefix's own cmd.exe.
#include "modem/win/execute_cmd.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tests/support/trace_capture.h"
#include "tests/support/win/eventually.h"

namespace {

const std::string kCreateFailed =
    "[WARNING] ExecuteCMD::ExecuteWindowsCMD : ExecuteCMD::ExecuteWindowsCMD: Failed to create sub process.\n";
const std::string kWaiting = "[WARNING] ExecuteCMD::WaitExecute : ExecuteCMD::WaitExecute: Waiting Command, timeout: 2000ms\n";
const std::string kExecuted = "[WARNING] ExecuteCMD::WaitExecute : ExecuteCMD::WaitExecute: Command executed.\n";
const std::string kTimeout = "[WARNING] ExecuteCMD::WaitExecute : ExecuteCMD::WaitExecute: Command timeout.\n";
const std::string kTerminate = "[WARNING] ExecuteCMD::WaitExecute : ExecuteCMD::WaitExecute: TerminateProcess\n";
const std::string kReadDone = "[INFO] ExecuteCMD::ReadResult : ExecuteCMD::ReadResult --\n";
const std::string kFailed = "Execute failed";

std::wstring ExecutableDirectory() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring file(path, length);
    return file.substr(0, file.find_last_of(L'\\') + 1);
}

std::wstring ChildPath() { return ExecutableDirectory() + L"console_child.exe"; }

std::wstring Child(const std::wstring& arguments) { return L"\"" + ChildPath() + L"\" " + arguments; }

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The child's pattern (tests/tools/console_child.cpp).
std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('!' + i % 89);
    }
    return text;
}

// Bytes as C escapes, to show what came instead of the expected text.
std::string Escaped(const std::string& bytes) {
    std::string text;
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escape[5];
            std::snprintf(escape, sizeof(escape), "\\x%02X", c);
            text += escape;
        }
    }
    return text;
}

std::string RunCommand(const std::wstring& commandLine) {
    ExecuteCMD runner;
    return runner.Execute(commandLine);
}

std::size_t CountOf(const TraceCapture& capture, const std::string& line) {
    const std::vector<std::string> texts = capture.Texts();
    return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), line));
}

// Open handles of this process, counted by probing handle values: Wine 8's
// GetProcessHandleCount always reports 0, so it could not see a leak.
DWORD HandleCount() {
    DWORD count = 0;
    for (UINT_PTR value = 4; value < 0x4000 * 4; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

bool ChildIsRunning() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "no process snapshot";
        return false;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        found = found || _wcsicmp(entry.szExeFile, L"console_child.exe") == 0;
    }
    CloseHandle(snapshot);
    return found;
}

TEST(ExecuteCmdStart, AMissingProgramFailsWithOneWarningAndNoLeftOverHandle) {
    const std::wstring missing = ExecutableDirectory() + L"no_such_program.exe";
    ASSERT_EQ(GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES);
    RunCommand(L"\"" + missing + L"\" x");  // first use may allocate process-wide handles once

    const DWORD before = HandleCount();
    const HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(HandleCount(), before + 1) << "the handle count must see one more handle";
    CloseHandle(probe);
    for (int run = 0; run < 5; ++run) {
        TraceCapture capture;
        EXPECT_EQ(RunCommand(L"\"" + missing + L"\" x"), kFailed);
        EXPECT_EQ(CountOf(capture, kCreateFailed), 1u);
        EXPECT_FALSE(capture.Contains(kWaiting)) << "nothing to wait for";
    }
    EXPECT_LE(HandleCount(), before) << "pipe handles left open";
}

TEST(ExecuteCmdStart, ARunChildLeavesNoHandleBehind) {
    RunCommand(Child(L"silent"));
    const DWORD before = HandleCount();
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(RunCommand(Child(L"big 100")), Pattern(100));
    }
    EXPECT_LE(HandleCount(), before) << "pipe, process or thread handles left open";
}

TEST(ExecuteCmdStart, ACommandLineMustFitTheBufferWithItsTerminator) {
    const std::wstring prefix = Child(L"args ");
    ASSERT_LT(prefix.size(), 1000u);
    const std::wstring fits = prefix + std::wstring(1023 - prefix.size(), L'x');
    const std::string output = RunCommand(fits);
    EXPECT_EQ(output, Narrow(ChildPath()) + "|args|" + std::string(1023 - prefix.size(), 'x'));

    TraceCapture capture;
    EXPECT_EQ(RunCommand(fits + L"x"), kFailed) << "1024 characters leave no room for the terminator";
    EXPECT_EQ(CountOf(capture, kCreateFailed), 1u);
}

TEST(ExecuteCmdStart, APathCommandLineReachesTheChildUnchanged) {
    EXPECT_EQ(RunCommand(Child(L"args a \"b c\"  d")), Narrow(ChildPath()) + "|args|a|b c|d");
}

TEST(ExecuteCmdOutput, ASilentChildGivesEmptyTextAfterItExits) {
    TraceCapture capture;
    EXPECT_EQ(RunCommand(Child(L"silent")), "");
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{kWaiting, kExecuted, kReadDone}));
}

TEST(ExecuteCmdOutput, OutputIsReturnedWholeAcrossReadChunks) {
    for (const std::size_t size : {1u, 1023u, 1024u, 1025u, 3000u, 100000u}) {
        const std::string output = RunCommand(Child(L"big " + std::to_wstring(size)));
        const DWORD error = GetLastError();
        EXPECT_EQ(output.size(), size) << "begins with: " << Escaped(output.substr(0, 200)) << ", last error " << error;
        EXPECT_TRUE(output == Pattern(size)) << "content differs for " << size << " bytes";
    }
}

TEST(ExecuteCmdOutput, AZeroByteCutsItsChunkButNotTheNextOne) {
    // All output is in the pipe before reading starts, so 10 bytes are one read.
    EXPECT_EQ(RunCommand(Child(L"zero")), "abc");

    // 2007 bytes: the first 1024-byte read is cut at its zero byte, the rest is appended.
    const std::string stream = std::string("abc\0def", 7) + Pattern(2000);
    EXPECT_EQ(RunCommand(Child(L"zero 2000")), "abc" + stream.substr(1024));
}

TEST(ExecuteCmdOutput, StandardErrorIsMixedInWriteOrder) {
    EXPECT_EQ(RunCommand(Child(L"mixed")), "out1\nerr1\nout2\n");
}

TEST(ExecuteCmdWait, AChildEndingInTheSecondSliceIsReadWhole) {
    TraceCapture capture;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(RunCommand(Child(L"sleep 1200")), "started\nfinished\n");
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_GE(elapsed, 1200u);
    EXPECT_TRUE(capture.Contains(kExecuted)) << "the wait ends when the child does";
    EXPECT_FALSE(capture.Contains(kTimeout));
}

TEST(ExecuteCmdWait, AChildRunningPastTwoSecondsIsTerminated) {
    TraceCapture capture;
    const ULONGLONG start = GetTickCount64();
    const std::string output = RunCommand(Child(L"sleep 5000"));
    const ULONGLONG elapsed = GetTickCount64() - start;
    std::cout << "[          ] 5 s child returned after " << elapsed << " ms\n";
    EXPECT_GE(elapsed, 1900u);
    EXPECT_NE(output.find("started\n"), std::string::npos);
    EXPECT_EQ(output.find("finished\n"), std::string::npos);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{kWaiting, kTimeout, kTerminate, kReadDone}));

    // Termination completes asynchronously.
    EXPECT_TRUE(Eventually([] { return !ChildIsRunning(); })) << "the timed-out child is still alive";
}

// The current directory holds a program named like the system's cmd.exe.
class PlantedProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t current[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, current);
        saved_ = current;
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        directory_ = std::wstring(temp) + L"quarn_planted_" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(directory_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        planted_ = directory_ + L"\\cmd.exe";
        ASSERT_TRUE(CopyFileW(ChildPath().c_str(), planted_.c_str(), FALSE));
        ASSERT_TRUE(SetCurrentDirectoryW(directory_.c_str()));
    }
    void TearDown() override {
        SetCurrentDirectoryW(saved_.c_str());
        DeleteFileW(planted_.c_str());
        RemoveDirectoryW(directory_.c_str());
    }

    std::wstring saved_;
    std::wstring directory_;
    std::wstring planted_;
};

// The planted program's exit code when a bare "cmd.exe" is started the ordinary way.
DWORD ExitCodeOfBareCmd() {
    std::wstring commandLine = L"cmd.exe /c echo real";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        return GetLastError();
    }
    WaitForSingleObject(process.hProcess, 5000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST_F(PlantedProgramTest, TheSystemProgramRunsNotThePlantedOne) {
    // Without the resolution the planted copy wins (it exits 86 on an unknown mode);
    // otherwise this test would prove nothing.
    ASSERT_EQ(ExitCodeOfBareCmd(), 86u) << "the current directory is not searched first here";

    std::string output = RunCommand(L"cmd.exe /c echo real");
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) {
        output.pop_back();
    }
    EXPECT_EQ(output, "real");
}

}  // namespace

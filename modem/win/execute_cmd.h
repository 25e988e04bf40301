// Runs one console command hidden, with its stdout and stderr captured through a pipe.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The system-directory file that a command line's bare first token names (for example
// "netsh ..." gives "<system dir>\netsh.exe"); empty when the first token holds a path or
// a drive. Passing this as the application name keeps Windows from running a same-named
// program planted in the application's or the current directory.
std::wstring ResolveSystemProgram(const std::wstring& commandLine);

// One object per command: construct, call Execute once, discard.
class ExecuteCMD {
public:
    ExecuteCMD();
    ~ExecuteCMD();
    ExecuteCMD(const ExecuteCMD&) = delete;
    ExecuteCMD& operator=(const ExecuteCMD&) = delete;

    // The command's combined stdout and stderr, or "Execute failed" when it could not start.
    // A command still running after 2 s is terminated; what it wrote so far is returned.
    // The command runs in a job that ends it with this object, or with the process.
    std::string Execute(const std::wstring& commandLine);

private:
    bool CreateStdPipe();
    bool ExecuteWindowsCMD(const std::wstring& commandLine);
    void WaitExecute();
    std::string ReadResult();
    void ClosePipes();
    void CloseAll();

    HANDLE mStdInRead;
    HANDLE mStdInWrite;
    HANDLE mStdOutRead;
    HANDLE mStdOutWrite;
    HANDLE mProcessHandle;
    HANDLE mThreadHandle;
    bool mInheritHandles;
    uint32_t mProcessId;
    HANDLE mJobHandle;
};

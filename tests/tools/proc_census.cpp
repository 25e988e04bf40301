// Counts, from outside, the handles and threads of every running process whose image has
// the given name: Wine answers neither GetProcessHandleCount nor the process-information
// classes for another process, but its system process list carries both counts (taken from
// its server's own tables, as Windows takes them from the kernel's).
//
//   proc_census IMAGE.exe   prints "pid=N handles=N threads=N" a process; exit code 1 if none
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: proc_census IMAGE.exe\n");
        return 2;
    }
    std::vector<unsigned char> buffer(1 << 16);
    NTSTATUS status = 0;
    ULONG needed = 0;
    // The list grows between the calls when processes start: ask again with what it said.
    for (int attempt = 0; attempt < 8; ++attempt) {
        status = NtQuerySystemInformation(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                                          &needed);
        if (status != static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
            break;
        }
        buffer.resize(needed > buffer.size() ? needed + 4096 : buffer.size() * 2);
    }
    if (status != 0) {
        std::fprintf(stderr, "proc_census: NtQuerySystemInformation failed: 0x%08lX\n", static_cast<unsigned long>(status));
        return 1;
    }
    int found = 0;
    for (size_t offset = 0;;) {
        const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + offset);
        const std::wstring image(process->ImageName.Buffer != nullptr ? process->ImageName.Buffer : L"",
                                 process->ImageName.Length / sizeof(wchar_t));
        if (_wcsicmp(image.c_str(), argv[1]) == 0) {
            std::printf("pid=%lu handles=%lu threads=%lu\n",
                        static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(process->UniqueProcessId)),
                        process->HandleCount, process->NumberOfThreads);
            ++found;
        }
        if (process->NextEntryOffset == 0) {
            break;
        }
        offset += process->NextEntryOffset;
    }
    if (found == 0) {
        std::fprintf(stderr, "proc_census: no process named %ls\n", argv[1]);
    }
    return found > 0 ? 0 : 1;
}

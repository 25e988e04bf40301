// Drives and observes a running QuarnVelmora from outside, as the shell and the user
// would: finds its hidden window, asks the notification area whether its icon is there,
// and posts the messages a click or a menu choice would produce.
//
//   tray_probe wait-window MS        0 once the window exists
//   tray_probe wait-icon shown|hidden MS
//   tray_probe post MESSAGE WPARAM LPARAM
//   tray_probe send MESSAGE WPARAM LPARAM   sends, as the system does, and prints the answer
//   tray_probe wait-gone MS          0 once the window is gone
//   tray_probe post-noted NOTE MESSAGE WPARAM LPARAM
//                                    writes NOTE into the modem emulator's journal, then posts
//   tray_probe pipe-send TEXT        writes TEXT (UTF-16LE, zero-terminated) to the control pipe
//   tray_probe pipe-hold MS          connects to the control pipe, prints "held", says nothing
//                                    for MS and then lets go (a client in the way of others)
//   tray_probe pipe-squat MS         takes the control pipe's name first, prints "squatting",
//                                    then "received: TEXT" for each message, until "QUIT"
//                                    comes (exit code 0) or MS pass (exit code 1)
//   tray_probe pipe-junk BYTES       writes BYTES bytes that are no message (an odd count, no
//                                    terminator, no known command) to the control pipe
//   tray_probe taskbar-created       forgets the program's icon, as a shell that ended does,
//                                    and broadcasts "TaskbarCreated", as its successor does
//   tray_probe message-box CAPTION MS  0 once a message box with CAPTION is open; prints its
//                                    text and closes it with OK
//   tray_probe hold-icon MS          shows an icon of its own for MS, as the other programs of
//                                    a laptop's tray do; prints "holding" once it is there
//   tray_probe icon-count            prints how many windows of the program hold an icon
//   tray_probe post-on-journal TEXT N MS MESSAGE WPARAM LPARAM
//                                    posts as soon as the emulator's journal has N entries
//                                    with TEXT (MS at most): a message that meets the program
//                                    in the middle of what the entry starts
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/window_messages.h"
#include "emulator/win/emu_channel.h"

namespace {

HWND FindAppWindow() { return FindWindowW(APP_WINDOW_CLASS, nullptr); }

// NIM_MODIFY succeeds only for an icon the notification area holds.
bool IsIconShown(HWND window) {
    NOTIFYICONDATAW record{};
    record.cbSize = sizeof(record);
    record.hWnd = window;
    record.uID = 0;
    return Shell_NotifyIconW(NIM_MODIFY, &record) != FALSE;
}

template <typename Condition>
bool WaitFor(DWORD timeoutMs, Condition condition) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        if (condition()) {
            return true;
        }
        Sleep(50);
    } while (GetTickCount64() < deadline);
    return condition();
}

unsigned long Number(const wchar_t* text) { return std::wcstoul(text, nullptr, 0); }

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text != 0; ++text) {
        narrow += static_cast<char>(*text);
    }
    return narrow;
}

// Lines of the emulator's journal that contain `text`.
int JournalCount(const std::string& text) {
    const std::string journal = EmuRequest("journal");
    int count = 0;
    for (std::size_t line = 0; line < journal.size();) {
        std::size_t end = journal.find('\n', line);
        if (end == std::string::npos) {
            end = journal.size();
        }
        if (journal.substr(line, end - line).find(text) != std::string::npos) {
            ++count;
        }
        line = end + 1;
    }
    return count;
}

// Every failure says why: a probe that ends with a code and no word has not run at all
// (Wine could not start it), and the end-to-end scripts tell the two apart.
int Result(bool ok, const char* failure) {
    if (!ok) {
        std::fprintf(stderr, "tray_probe: %s (%lu)\n", failure, GetLastError());
    }
    return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tray_probe wait-window MS | wait-icon shown|hidden MS | post MSG WPARAM LPARAM | wait-gone MS\n");
        return 2;
    }
    const std::wstring verb = argv[1];
    if (verb == L"wait-window" && argc == 3) {
        return Result(WaitFor(Number(argv[2]), [] { return FindAppWindow() != nullptr; }), "no QuarnVelmora window");
    }
    if (verb == L"wait-gone" && argc == 3) {
        return Result(WaitFor(Number(argv[2]), [] { return FindAppWindow() == nullptr; }), "the window is still there");
    }
    if (verb == L"wait-icon" && argc == 4) {
        const bool wantShown = std::wstring(argv[2]) == L"shown";
        bool windowSeen = false;
        if (WaitFor(Number(argv[3]), [wantShown, &windowSeen] {
                const HWND window = FindAppWindow();
                windowSeen = window != nullptr;
                return windowSeen && IsIconShown(window) == wantShown;
            })) {
            return 0;
        }
        std::fprintf(stderr, "tray_probe: %s\n",
                     !windowSeen ? "no QuarnVelmora window" : wantShown ? "the icon is not shown" : "the icon is still shown");
        return 1;
    }
    if (verb == L"post" && argc == 5) {
        const HWND window = FindAppWindow();
        if (window == nullptr) {
            std::fprintf(stderr, "tray_probe: no QuarnVelmora window\n");
            return 1;
        }
        // The menu only tracks for the foreground; a shell click grants that.
        AllowSetForegroundWindow(ASFW_ANY);
        return Result(PostMessageW(window, Number(argv[2]), Number(argv[3]), static_cast<LPARAM>(Number(argv[4]))),
                      "PostMessageW failed");
    }
    if (verb == L"send" && argc == 5) {
        const HWND window = FindAppWindow();
        DWORD_PTR answer = 0;
        if (window == nullptr || SendMessageTimeoutW(window, Number(argv[2]), Number(argv[3]),
                                                     static_cast<LPARAM>(Number(argv[4])), SMTO_ABORTIFHUNG, 5000,
                                                     &answer) == 0) {
            std::fprintf(stderr, "tray_probe: %s\n", window == nullptr ? "no QuarnVelmora window" : "no answer within 5 s");
            return 1;
        }
        std::printf("%llu\n", static_cast<unsigned long long>(answer));
        return 0;
    }
    if (verb == L"post-noted" && argc == 6) {
        const HWND window = FindAppWindow();
        if (window == nullptr) {
            std::fprintf(stderr, "tray_probe: no QuarnVelmora window\n");
            return 1;
        }
        const std::string note = "note " + Narrow(argv[2]);
        // The note and the post are as close in time as one pipe round trip.
        if (EmuRequest(note).rfind("ok", 0) != 0) {
            std::fprintf(stderr, "tray_probe: the emulator did not take the note\n");
            return 1;
        }
        return Result(PostMessageW(window, Number(argv[3]), Number(argv[4]), static_cast<LPARAM>(Number(argv[5]))),
                      "PostMessageW failed");
    }
    if (verb == L"pipe-send" && argc == 3) {
        const HANDLE pipe = CreateFileW(L"\\\\.\\pipe\\QuarnVelmoraPipe", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "tray_probe: the control pipe is not there (%lu)\n", GetLastError());
            return 1;
        }
        const std::wstring text = argv[2];
        DWORD written = 0;
        const BOOL ok = WriteFile(pipe, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), &written, nullptr);
        FlushFileBuffers(pipe);
        CloseHandle(pipe);
        return Result(ok, "WriteFile to the control pipe failed");
    }
    if (verb == L"pipe-junk" && argc == 3) {
        const HANDLE pipe = CreateFileW(L"\\\\.\\pipe\\QuarnVelmoraPipe", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "tray_probe: the control pipe is not there (%lu)\n", GetLastError());
            return 1;
        }
        std::string junk(Number(argv[2]), '\0');
        for (size_t i = 0; i < junk.size(); ++i) {
            junk[i] = static_cast<char>(0x80 | (i * 37));
        }
        DWORD written = 0;
        const BOOL ok = WriteFile(pipe, junk.data(), static_cast<DWORD>(junk.size()), &written, nullptr);
        FlushFileBuffers(pipe);
        CloseHandle(pipe);
        return Result(ok, "WriteFile to the control pipe failed");
    }
    if (verb == L"taskbar-created" && argc == 2) {
        const HWND window = FindAppWindow();
        if (window == nullptr) {
            std::fprintf(stderr, "tray_probe: no QuarnVelmora window\n");
            return 1;
        }
        NOTIFYICONDATAW record{};
        record.cbSize = sizeof(record);
        record.hWnd = window;
        record.uID = 0;
        Shell_NotifyIconW(NIM_DELETE, &record);  // gone with the shell, if it was there
        DWORD_PTR answer = 0;
        return Result(SendMessageTimeoutW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0,
                                          SMTO_ABORTIFHUNG, 5000, &answer) != 0,
                      "the broadcast of TaskbarCreated failed");
    }
    if (verb == L"pipe-hold" && argc == 3) {
        const HANDLE pipe = CreateFileW(L"\\\\.\\pipe\\QuarnVelmoraPipe", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "tray_probe: the control pipe is not there (%lu)\n", GetLastError());
            return 1;
        }
        std::printf("held\n");
        std::fflush(stdout);
        Sleep(Number(argv[2]));
        CloseHandle(pipe);
        return 0;
    }
    if (verb == L"pipe-squat" && argc == 3) {
        const HANDLE pipe = CreateNamedPipeW(L"\\\\.\\pipe\\QuarnVelmoraPipe", PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                             PIPE_TYPE_BYTE, 1, 256, 256, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "tray_probe: the control pipe's name is taken (%lu)\n", GetLastError());
            return 1;
        }
        static DWORD limitMs = Number(argv[2]);
        CloseHandle(CreateThread(nullptr, 0, [](void*) -> DWORD {
            Sleep(limitMs);
            std::fprintf(stderr, "tray_probe: no QUIT came\n");
            ExitProcess(1);
        }, nullptr, 0, nullptr));
        std::printf("squatting\n");
        std::fflush(stdout);
        for (;;) {
            if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
                wchar_t text[256] = {};
                DWORD read = 0;
                if (ReadFile(pipe, text, sizeof text - sizeof(wchar_t), &read, nullptr) && read > 0) {
                    std::printf("received: %ls\n", text);
                    std::fflush(stdout);
                    if (std::wcsstr(text, L"QUIT") != nullptr) {
                        return 0;
                    }
                }
            }
            DisconnectNamedPipe(pipe);
        }
    }
    if (verb == L"icon-count" && argc == 2) {
        static int icons = 0;
        EnumWindows([](HWND window, LPARAM) -> BOOL {
            wchar_t name[64] = {};
            if (GetClassNameW(window, name, 64) > 0 && std::wcscmp(name, APP_WINDOW_CLASS) == 0 && IsIconShown(window)) {
                ++icons;
            }
            return TRUE;
        }, 0);
        std::printf("%d\n", icons);
        return 0;
    }
    if (verb == L"post-on-journal" && argc == 8) {
        const std::string text = Narrow(argv[2]);
        const int count = static_cast<int>(Number(argv[3]));
        if (!WaitFor(Number(argv[4]), [&] { return JournalCount(text) >= count; })) {
            std::fprintf(stderr, "tray_probe: the journal did not reach %d entries with the text\n", count);
            return 1;
        }
        const HWND window = FindAppWindow();
        return Result(window != nullptr && PostMessageW(window, Number(argv[5]), Number(argv[6]),
                                                        static_cast<LPARAM>(Number(argv[7]))),
                      "no QuarnVelmora window to post to");
    }
    if (verb == L"message-box" && argc == 4) {
        const std::wstring caption = argv[2];
        HWND box = nullptr;
        if (!WaitFor(Number(argv[3]), [&] { return (box = FindWindowW(L"#32770", caption.c_str())) != nullptr; })) {
            return Result(false, "no such message box");
        }
        wchar_t text[512] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 512);  // the message box's text control
        std::printf("%ls\n", text);
        std::fflush(stdout);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return 0;
    }
    if (verb == L"hold-icon" && argc == 3) {
        // A STATIC window: FindAppWindow, which looks for the program's class, never finds it.
        const HWND owner = CreateWindowExW(0, L"STATIC", L"tray_probe icon", 0, 0, 0, 0, 0, nullptr, nullptr,
                                           GetModuleHandleW(nullptr), nullptr);
        NOTIFYICONDATAW record{};
        record.cbSize = sizeof(record);
        record.hWnd = owner;
        record.uID = 1;
        record.uFlags = NIF_ICON | NIF_TIP;
        record.hIcon = LoadIconW(nullptr, IDI_INFORMATION);
        std::wcsncpy(record.szTip, L"tray_probe", 63);
        if (owner == nullptr || !Shell_NotifyIconW(NIM_ADD, &record)) {
            return Result(false, "the icon could not be added");
        }
        std::printf("holding\n");
        std::fflush(stdout);
        const ULONGLONG deadline = GetTickCount64() + Number(argv[2]);
        MSG message;
        while (GetTickCount64() < deadline) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, QS_ALLINPUT);
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageW(&message);
            }
        }
        Shell_NotifyIconW(NIM_DELETE, &record);
        DestroyWindow(owner);
        return 0;
    }
    std::fprintf(stderr, "tray_probe: bad arguments\n");
    return 2;
}

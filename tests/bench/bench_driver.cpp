// Runs the benchmark's rounds under Wine for scripts/bench.sh: each figure of the release
// QuarnVelmora.exe and its floor, in interleaved rounds (a random order within each pair), in
// the same emulator. Prints one line a round, "ROW WHO ROUND MILLISECONDS" (WHO: program or
// floor), and its progress on standard error.
//
//   bench_driver eject 4g|5g ROUNDS APP_DIR
//       menu command to the AT payload at the modem, against the floor client's same calls
//   bench_driver decision 4g|5g ROUNDS APP_DIR HOOK_DLL
//       account event to the window message, less the 500 ms pause, against the floor
//       client that, on an account event delivered the same way and after the same pause,
//       reads the status and asks the slot
//   bench_driver startup ROUNDS APP_DIR
//       process start to icon shown, against minimal_tray.exe started the same way and
//       doing the work that the program's start-up cannot leave out ("startup-work 5g")
//   bench_driver outlier ROUNDS APP_DIR
//       an eject 700 ms after another one, while the program hides its icon: with the
//       program's the last icon in the tray, and with another icon kept there
//   bench_driver idle-start APP_DIR     starts both programs, waits for their icons, prints
//                                       "program PID" and "floor PID" and leaves them running
//   bench_driver idle-stop              ends both programs
//
// APP_DIR holds QuarnVelmora.exe and minimal_tray.exe with the emulator's cfgmgr32.dll and
// powrprof.dll. The driver keeps an icon of its own in the tray throughout, except in the
// row that shows why: Wine's explorer hides its tray window when the last icon goes, and
// without a window manager (Xvfb) that keeps the shell, and the caller of Shell_NotifyIconW,
// busy for 2 s.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include "app/res/resource.h"
#include "app/window_messages.h"
#include "emulator/win/emu_channel.h"
#include "tests/bench/floor_client.h"
#include "tests/support/win/precise_clock.h"

namespace {

constexpr wchar_t kMinimalClass[] = L"Quarn_Minimal_Tray";
constexpr wchar_t kDriverClass[] = L"Quarn_Bench_Driver";
constexpr UINT kDecisionPauseMs = 500;

// Waits while handling the driver's own window messages (the shell may send its icon some).
void Pump(DWORD milliseconds) {
    const double end = NowMs() + milliseconds;
    for (double now = NowMs(); now < end; now = NowMs()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now) + 1, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
}

bool WaitUntil(DWORD timeoutMs, DWORD pollMs, const std::function<bool()>& condition) {
    const double end = NowMs() + timeoutMs;
    while (!condition()) {
        if (NowMs() >= end) {
            return false;
        }
        Pump(pollMs);
    }
    return true;
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "bench_driver: %s\n", what.c_str());
    std::exit(1);
}

void Emu(const std::string& request) {
    const std::string reply = EmuRequest(request);
    if (reply.rfind("ok", 0) != 0) {
        Fail("the emulator refused \"" + request + "\": " + reply);
    }
}

// Milliseconds from the journal entry "note NOTE" to the first later entry containing TEXT.
std::optional<long long> JournalLatency(const std::string& note, const std::string& text) {
    std::istringstream journal(EmuRequest("journal"));
    std::string line;
    std::getline(journal, line);  // "ok N"
    std::optional<long long> start;
    while (std::getline(journal, line)) {
        const std::size_t space = line.find(' ');
        if (line.empty() || line[0] != '+' || space == std::string::npos) {
            continue;
        }
        const long long at = std::stoll(line.substr(1, space - 1));
        const std::string entry = line.substr(space + 1);
        if (!start) {
            if (entry == "note " + note) {
                start = at;
            }
        } else if (entry.find(text) != std::string::npos) {
            return at - *start;
        }
    }
    return std::nullopt;
}

// ---- The notification area

HWND DriverWindow() {
    static HWND window = [] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kDriverClass;
        RegisterClassW(&windowClass);
        return CreateWindowExW(0, kDriverClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr, windowClass.hInstance, nullptr);
    }();
    return window;
}

NOTIFYICONDATAW IconRecord(HWND window) {
    NOTIFYICONDATAW record{};
    record.cbSize = sizeof(record);
    record.hWnd = window;
    record.uID = 0;
    return record;
}

// NIM_MODIFY succeeds only for an icon the notification area holds.
bool IsIconShown(HWND window) {
    NOTIFYICONDATAW record = IconRecord(window);
    return window != nullptr && Shell_NotifyIconW(NIM_MODIFY, &record) != FALSE;
}

void KeepIcon(bool keep) {
    NOTIFYICONDATAW record = IconRecord(DriverWindow());
    if (keep) {
        record.uFlags = NIF_ICON | NIF_TIP;
        record.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));
        lstrcpynW(record.szTip, L"Benchmark", ARRAYSIZE(record.szTip));
        Shell_NotifyIconW(NIM_ADD, &record);
    } else {
        Shell_NotifyIconW(NIM_DELETE, &record);
    }
}

// ---- Processes started the same way: CreateProcessW from APP_DIR

struct Child {
    HANDLE Process = nullptr;
    DWORD Id = 0;
};

// The driver runs with the app's WINEDLLOVERRIDES (cfgmgr32 and powrprof from beside the
// program; Wine takes them from the environment a process starts in, not from one changed
// before CreateProcessW), so both programs start with the same environment.
Child Start(const std::wstring& program, const std::wstring& arguments = L"") {
    std::wstring commandLine = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        Fail("cannot start a program (" + std::to_string(GetLastError()) + ")");
    }
    CloseHandle(process.hThread);
    return {process.hProcess, process.dwProcessId};
}

bool EndAndWait(Child& child, HWND window, bool program) {
    if (window != nullptr) {
        if (program) {
            PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
        } else {
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
    }
    const bool ended = WaitForSingleObject(child.Process, 30000) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(child.Process, 1);
    }
    CloseHandle(child.Process);
    child = {};
    return ended;
}

HWND AppWindow() { return FindWindowW(APP_WINDOW_CLASS, nullptr); }

// The program with the emulator's 4G or 5G modem and a ready SIM, its icon shown.
Child StartProgramShown(const std::wstring& appDir, const std::string& platform) {
    Emu("reset");
    Emu("modem " + platform);
    Emu("sim ready");
    Child program = Start(appDir + L"\\QuarnVelmora.exe");
    if (!WaitUntil(30000, 20, [] { return IsIconShown(AppWindow()); })) {
        Fail("the program's icon did not show");
    }
    Pump(1500);  // the decision that the window's creation asked for
    return program;
}

// Back to the steady state every round starts from: SIM ready, icon shown, nothing running.
// After an eject the program hides its icon; the SIM then comes back and so does the icon.
void RestoreShown(bool simWentOff) {
    if (simWentOff && !WaitUntil(10000, 10, [] { return !IsIconShown(AppWindow()); })) {
        Fail("the program did not hide its icon after the SIM went off");
    }
    Emu("sim ready");
    if (!WaitUntil(15000, 10, [] { return IsIconShown(AppWindow()); })) {
        Fail("the program did not show its icon for the ready SIM");
    }
    Pump(300);
}

void PrintRound(const std::string& row, const char* who, int round, double milliseconds) {
    std::printf("%s %s %d %.3f\n", row.c_str(), who, round, milliseconds);
    std::fflush(stdout);
}

// Runs ROUNDS pairs, each pair's two halves in a random order.
void Interleave(int rounds, const std::function<void(int)>& programRound, const std::function<void(int)>& floorRound) {
    std::mt19937 order(std::random_device{}());
    for (int round = 1; round <= rounds; ++round) {
        if (order() % 2 == 0) {
            programRound(round);
            floorRound(round);
        } else {
            floorRound(round);
            programRound(round);
        }
        std::fprintf(stderr, ".");
    }
    std::fprintf(stderr, "\n");
}

std::string EjectPayload(const std::string& platform) {
    return platform == "4g" ? "AT+XSIMPOWER=0,1\r\n" : "AT+ESIMPOWER=0,1\r\n";
}

// The journal writes the payload's line ends as \r\n.
std::string JournalText(const std::string& payload) {
    std::string text;
    for (const char c : payload) {
        text += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return "len=" + std::to_string(payload.size()) + " \"" + text + "\"";
}

double EjectLatency(const std::string& note, const std::string& payload) {
    const auto latency = JournalLatency(note, JournalText(payload));
    if (!latency) {
        Fail("no AT payload after \"" + note + "\"");
    }
    return static_cast<double>(*latency);
}

int RunEject(const std::string& platform, int rounds, const std::wstring& appDir) {
    KeepIcon(true);
    Child program = StartProgramShown(appDir, platform);
    const std::string payload = EjectPayload(platform);
    SendAtCommandFloor("AT\r\n");  // the floor's factories, looked up once as the program's are
    const std::string row = "eject-" + platform;
    Interleave(
        rounds,
        [&](int round) {
            const std::string note = row + "-program-" + std::to_string(round);
            Emu("note " + note);
            PostMessageW(AppWindow(), WM_COMMAND, IDM_EJECT_SIM, 0);
            Pump(1000);
            PrintRound(row, "program", round, EjectLatency(note, payload));
            RestoreShown(true);
        },
        [&](int round) {
            const std::string note = row + "-floor-" + std::to_string(round);
            Emu("note " + note);
            if (SendAtCommandFloor(payload).find("OK") == std::string::npos) {
                Fail("the floor's eject was not answered OK");
            }
            Pump(1000);
            PrintRound(row, "floor", round, EjectLatency(note, payload));
            RestoreShown(true);
        });
    EndAndWait(program, AppWindow(), true);
    KeepIcon(false);
    return 0;
}

int RunDecision(const std::string& platform, int rounds, const std::wstring& appDir, const std::wstring& hookDll) {
    KeepIcon(true);
    Child program = StartProgramShown(appDir, platform);
    const HMODULE hookModule = LoadLibraryW(hookDll.c_str());
    const auto hookProcedure =
        reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(hookModule, "NoteWindowMessage")));
    const DWORD windowThread = GetWindowThreadProcessId(AppWindow(), nullptr);
    const HHOOK hook = hookProcedure != nullptr ? SetWindowsHookExW(WH_CALLWNDPROC, hookProcedure, hookModule, windowThread)
                                                : nullptr;
    if (hook == nullptr) {
        Fail("cannot hook the program's window thread");
    }
    const bool fourG = platform == "4g";
    DecideFloor(fourG);  // the floor's factories, looked up once as the program's are
    const HANDLE accountUpdated = FollowAccountUpdates();
    if (accountUpdated == nullptr) {
        Fail("the floor cannot follow account events");
    }
    const std::string row = "decision-" + platform;
    const std::string trigger = "event updated account-" + platform + " device";
    const std::string floorTrigger = "event updated account-" + platform + " network";
    Interleave(
        rounds,
        [&](int round) {
            const std::string note = row + "-program-" + std::to_string(round);
            Emu("note " + note);
            Emu(trigger);
            Pump(kDecisionPauseMs + 1000);
            const auto latency = JournalLatency(note, "note window-message 1027");
            if (!latency) {
                Fail("no window message after \"" + note + "\"");
            }
            PrintRound(row, "program", round, static_cast<double>(*latency) - kDecisionPauseMs);
            Pump(200);
        },
        [&](int round) {
            // The same kind of event and the same pause as the program's, so that the floor
            // reads in the same conditions (not among the facades' threads that every event
            // wakes). A change of network alone, which the program ignores: its decision
            // would otherwise run at the same moment.
            const std::string note = row + "-floor-" + std::to_string(round);
            ResetEvent(accountUpdated);
            Emu("note " + note);
            Emu(floorTrigger);
            if (WaitForSingleObject(accountUpdated, 5000) != WAIT_OBJECT_0) {
                Fail("the floor saw no account event");
            }
            Sleep(kDecisionPauseMs);
            const int slot = DecideFloor(fourG);
            Emu("note " + note + "-decided");
            if (slot != 1) {
                Fail("the floor's decision did not find slot 1");
            }
            const auto latency = JournalLatency(note, "note " + note + "-decided");
            PrintRound(row, "floor", round, static_cast<double>(latency.value_or(-1)) - kDecisionPauseMs);
            Pump(200);
        });
    UnhookWindowsHookEx(hook);
    EndAndWait(program, AppWindow(), true);
    KeepIcon(false);
    return 0;
}

// Milliseconds from just before CreateProcessW to the icon in the tray (polled every 2 ms).
double StartToIcon(const std::wstring& program, const wchar_t* windowClass, Child* child,
                   const std::wstring& arguments = L"") {
    const double start = NowMs();
    *child = Start(program, arguments);
    if (!WaitUntil(30000, 2, [windowClass] { return IsIconShown(FindWindowW(windowClass, nullptr)); })) {
        Fail("no icon after a start");
    }
    return NowMs() - start;
}

int RunStartup(int rounds, const std::wstring& appDir) {
    KeepIcon(true);
    Emu("reset");
    Emu("modem 5g");
    Emu("sim ready");
    Interleave(
        rounds,
        [&](int round) {
            Child program;
            PrintRound("startup", "program", round, StartToIcon(appDir + L"\\QuarnVelmora.exe", APP_WINDOW_CLASS, &program));
            Pump(1000);  // the decision that the window's creation asked for
            if (!EndAndWait(program, AppWindow(), true)) {
                Fail("the program did not end");
            }
            Pump(300);
        },
        [&](int round) {
            Child minimal;
            // The floor with the work that the program's start-up cannot leave out.
            PrintRound("startup", "floor", round,
                       StartToIcon(appDir + L"\\minimal_tray.exe", kMinimalClass, &minimal, L"startup-work 5g"));
            Pump(1000);
            if (!EndAndWait(minimal, FindWindowW(kMinimalClass, nullptr), false)) {
                Fail("the minimal tray program did not end");
            }
            Pump(300);
        });
    KeepIcon(false);
    return 0;
}

// The end-to-end test's timing: a second eject 700 ms after the first, when the worker's
// hide decision has the window thread in Shell_NotifyIconW(NIM_DELETE). The floor's eject
// comes at the same moment, from outside the program.
void RunOutlierRow(const std::string& row, int rounds, bool keepAnotherIcon) {
    KeepIcon(keepAnotherIcon);
    const std::string payload = EjectPayload("5g");
    Interleave(
        rounds,
        [&](int round) {
            PostMessageW(AppWindow(), WM_COMMAND, IDM_EJECT_SIM, 0);
            Pump(700);
            const std::string note = row + "-program-" + std::to_string(round);
            Emu("note " + note);
            PostMessageW(AppWindow(), WM_COMMAND, IDM_EJECT_SIM, 0);
            Pump(2500);
            PrintRound(row, "program", round, EjectLatency(note, payload));
            RestoreShown(true);
        },
        [&](int round) {
            PostMessageW(AppWindow(), WM_COMMAND, IDM_EJECT_SIM, 0);
            Pump(700);
            const std::string note = row + "-floor-" + std::to_string(round);
            Emu("note " + note);
            SendAtCommandFloor(payload);
            Pump(2500);
            PrintRound(row, "floor", round, EjectLatency(note, payload));
            RestoreShown(true);
        });
    KeepIcon(false);
}

int RunOutlier(int rounds, const std::wstring& appDir) {
    KeepIcon(true);
    Child program = StartProgramShown(appDir, "5g");
    SendAtCommandFloor("AT\r\n");
    RunOutlierRow("eject-during-hide-last-icon", rounds, false);
    RunOutlierRow("eject-during-hide-icon-kept", rounds, true);
    KeepIcon(true);
    EndAndWait(program, AppWindow(), true);
    KeepIcon(false);
    return 0;
}

int RunIdleStart(const std::wstring& appDir) {
    Emu("reset");
    Emu("modem 5g");
    Emu("sim ready");
    Child program = Start(appDir + L"\\QuarnVelmora.exe");
    Child minimal = Start(appDir + L"\\minimal_tray.exe");
    if (!WaitUntil(30000, 20, [] {
            return IsIconShown(AppWindow()) && IsIconShown(FindWindowW(kMinimalClass, nullptr));
        })) {
        Fail("the icons did not show");
    }
    std::printf("program %lu\nfloor %lu\n", program.Id, minimal.Id);
    CloseHandle(program.Process);
    CloseHandle(minimal.Process);
    return 0;
}

int RunIdleStop() {
    KeepIcon(true);  // two removals of last icons would cost 2 s each
    const HWND app = AppWindow();
    const HWND minimal = FindWindowW(kMinimalClass, nullptr);
    if (app != nullptr) {
        PostMessageW(app, WM_COMMAND, IDM_EXIT, 0);
    }
    if (minimal != nullptr) {
        PostMessageW(minimal, WM_CLOSE, 0, 0);
    }
    const bool gone = WaitUntil(30000, 50, [] {
        return AppWindow() == nullptr && FindWindowW(kMinimalClass, nullptr) == nullptr;
    });
    KeepIcon(false);
    return gone ? 0 : 1;
}

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text != 0; ++text) {
        narrow += static_cast<char>(*text);
    }
    return narrow;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: bench_driver eject|decision 4g|5g ROUNDS APP_DIR [HOOK_DLL] | startup|outlier ROUNDS APP_DIR |\n"
                 "       idle-start APP_DIR | idle-stop\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::wstring verb = argv[1];
    if ((verb == L"eject" && argc == 5) || (verb == L"decision" && argc == 6)) {
        const std::string platform = Narrow(argv[2]);
        if (platform != "4g" && platform != "5g") {
            return Usage();
        }
        const int rounds = std::stoi(argv[3]);
        return verb == L"eject" ? RunEject(platform, rounds, argv[4]) : RunDecision(platform, rounds, argv[4], argv[5]);
    }
    if ((verb == L"startup" || verb == L"outlier") && argc == 4) {
        const int rounds = std::stoi(argv[2]);
        return verb == L"startup" ? RunStartup(rounds, argv[3]) : RunOutlier(rounds, argv[3]);
    }
    if (verb == L"idle-start" && argc == 3) {
        return RunIdleStart(argv[2]);
    }
    if (verb == L"idle-stop" && argc == 2) {
        return RunIdleStop();
    }
    return Usage();
}

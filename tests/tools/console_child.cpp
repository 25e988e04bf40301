// A console program for the command-runner tests; what it writes is chosen by argv[1]:
//   silent        nothing
//   big N         N bytes of the pattern below
//   zero [N]      "abc\0def", then in a second write "ghi" (or N pattern bytes)
//   mixed         "out1\n" to stdout, "err1\n" to stderr, "out2\n" to stdout
//   sleep MS      "started\n", sleeps until MS ms after the process was created, "finished\n"
//                 (timed from its creation, so a slow start on a loaded machine does not
//                 move the end)
//   args          its argv joined by '|'
//   crash         writes through a null pointer (an unhandled access violation)
// Anything else writes "console_child: unknown mode\n" and exits with 86.
// WriteFile straight to the standard handles: no CRT buffering (so the order across
// stdout and stderr is the write order) and no "\n" to "\r\n" translation.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kUnknownModeExit = 86;

// Must match the copy in the tests. A period of 89 (prime to the 1024-byte read size)
// makes a lost, doubled or reordered chunk visible.
std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('!' + i % 89);
    }
    return text;
}

void Write(DWORD which, const std::string& text) {
    const HANDLE handle = GetStdHandle(which);
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!WriteFile(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
            written == 0) {
            return;
        }
        done += written;
    }
}

void Out(const std::string& text) { Write(STD_OUTPUT_HANDLE, text); }

std::size_t NumberArgument(int argc, char** argv, std::size_t fallback) {
    return argc > 2 ? static_cast<std::size_t>(std::strtoul(argv[2], nullptr, 10)) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "silent") {
        return 0;
    }
    if (mode == "big") {
        Out(Pattern(NumberArgument(argc, argv, 3000)));
        return 0;
    }
    if (mode == "zero") {
        Out(std::string("abc\0def", 7));
        Out(argc > 2 ? Pattern(NumberArgument(argc, argv, 0)) : std::string("ghi"));
        return 0;
    }
    if (mode == "mixed") {
        Out("out1\n");
        Write(STD_ERROR_HANDLE, "err1\n");
        Out("out2\n");
        return 0;
    }
    if (mode == "sleep") {
        Out("started\n");
        FILETIME created{};
        FILETIME unused{};
        GetProcessTimes(GetCurrentProcess(), &created, &unused, &unused, &unused);
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        const auto ticks = [](const FILETIME& time) {
            return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
        };
        const ULONGLONG ranMs = (ticks(now) - ticks(created)) / 10000;
        const ULONGLONG wantedMs = NumberArgument(argc, argv, 0);
        if (ranMs < wantedMs) {
            Sleep(static_cast<DWORD>(wantedMs - ranMs));
        }
        Out("finished\n");
        return 0;
    }
    if (mode == "args") {
        std::string joined;
        for (int i = 0; i < argc; ++i) {
            joined += (i > 0 ? "|" : "") + std::string(argv[i]);
        }
        Out(joined);
        return 0;
    }
    if (mode == "crash") {
        *static_cast<volatile int*>(nullptr) = 1;
        return 0;
    }
    Out("console_child: unknown mode\n");
    return kUnknownModeExit;
}

// Talks to the running modem emulator from a shell or a test script.
//   modem_emu_ctl REQUEST...            one request (words joined by blanks); prints the reply
//   modem_emu_ctl --scenario FILE       applies a scenario file line by line
//   modem_emu_ctl --wait-ready MS       waits until the emulator serves
//   modem_emu_ctl --wait-journal TEXT MS  waits until a journal entry contains TEXT
//   modem_emu_ctl shutdown              ends the server and waits until it has gone
// Exits 0 when the reply starts with "ok", 1 otherwise. The channel is QUARN_EMU_CHANNEL's,
// or the default one (emu_channel.h).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "emulator/win/emu_channel.h"

namespace {

int Print(const std::string& reply) {
    std::printf("%s\n", reply.c_str());
    return reply.rfind("ok", 0) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: modem_emu_ctl REQUEST... | --scenario FILE | --wait-ready MS | --wait-journal TEXT MS\n");
        return 2;
    }
    const std::string first = argv[1];
    if (first == "--wait-ready" && argc == 3) {
        const unsigned timeoutMs = std::strtoul(argv[2], nullptr, 10);
        std::string reply;
        if (WaitForEmulator(timeoutMs, &reply)) {
            return 0;
        }
        std::fprintf(stderr, "modem_emu_ctl: no emulator served the channel %ls within %u ms (last reply: %s)\n",
                     EmuChannelName().c_str(), timeoutMs, reply.c_str());
        return 1;
    }
    if (first == "--wait-journal" && argc == 4) {
        const std::string text = argv[2];
        const ULONGLONG deadline = GetTickCount64() + std::strtoul(argv[3], nullptr, 10);
        do {
            const std::string journal = EmuRequest("journal");
            std::istringstream lines(journal);
            for (std::string line; std::getline(lines, line);) {
                if (line.find(text) != std::string::npos) {
                    std::printf("%s\n", line.c_str());
                    return 0;
                }
            }
            Sleep(50);
        } while (GetTickCount64() < deadline);
        std::fprintf(stderr, "modem_emu_ctl: no journal entry with %s\n", text.c_str());
        return 1;
    }
    if (first == "--scenario" && argc == 3) {
        std::ifstream file(argv[2], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "modem_emu_ctl: cannot read %s\n", argv[2]);
            return 2;
        }
        int number = 0;
        for (std::string line; std::getline(file, line);) {
            ++number;
            line = line.substr(0, line.find('#'));
            if (line.find_first_not_of(" \t\r") == std::string::npos) {
                continue;
            }
            const std::string reply = EmuRequest(line);
            if (reply.rfind("ok", 0) != 0) {
                std::fprintf(stderr, "modem_emu_ctl: %s:%d: %s\n", argv[2], number, reply.c_str());
                return 1;
            }
        }
        return 0;
    }
    if (first == "shutdown" && argc == 2) {
        // Returns once the server has gone, so that a new one can start at once.
        return Print(ShutdownEmulator(10000) ? "ok" : "error: the emulator still runs");
    }
    std::string request = first;
    for (int i = 2; i < argc; ++i) {
        request += " ";
        request += argv[i];
    }
    return Print(EmuRequest(request));
}

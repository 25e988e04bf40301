// Stands in for the system's netsh in the test prefix. Only "netsh mbn show slotmapping *"
// is known; it prints what the emulated machine would print, or as scripted: the
// interface error, nothing, or the table after a pause longer than callers wait.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "emulator/win/emu_channel.h"

int main(int argc, char** argv) {
    // The output already carries CR LF line ends, as the real tool's does.
    _setmode(_fileno(stdout), _O_BINARY);
    const bool slotMapping = argc == 5 && std::string(argv[1]) == "mbn" && std::string(argv[2]) == "show" &&
                             std::string(argv[3]) == "slotmapping" && std::string(argv[4]) == "*";
    if (!slotMapping) {
        std::printf("The following command was not found: ");
        for (int i = 1; i < argc; ++i) {
            std::printf("%s%s", argv[i], i + 1 < argc ? " " : "\r\n");
        }
        return 1;
    }
    const std::string reply = EmuRequest("netsh slotmapping");
    const std::size_t newline = reply.find('\n');
    if (reply.rfind("ok ", 0) != 0 || newline == std::string::npos) {
        std::printf("Failed to access the interface: error\r\n");
        return 1;
    }
    const std::string mode = reply.substr(3, newline - 3);
    if (mode == "hang") {
        Sleep(10000);
    }
    const std::string output = reply.substr(newline + 1);
    std::fwrite(output.data(), 1, output.size(), stdout);
    return 0;
}

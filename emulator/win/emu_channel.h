// The control channel of the modem emulator: a message-mode named pipe served by
// modem_emu_server.exe. One request message, one reply message.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

constexpr wchar_t EMU_PIPE_NAME[] = L"\\\\.\\pipe\\QuarnModemEmu";

// Sends one request and returns the reply. Returns "error: no emulator" when the server
// is not running (the facades then present a machine without a modem).
std::string EmuRequest(const std::string& request);

// Waits until the server accepts connections; false after `timeoutMs`.
bool WaitForEmulator(unsigned timeoutMs);

// One machine event of the model (see MachineEvent in the model).
struct EmuEvent {
    std::string Kind;
    std::string Subject;
    bool Device;
    bool Network;
};

// The sequence number of the newest event so far: what a new subscriber starts after.
uint64_t LatestEmuEvent();

// Long-polls the emulator and hands each event after `after` to `deliver`, for as long as
// `keepGoing` says; waits and retries while the emulator is away.
void FollowEmuEvents(uint64_t after, const std::function<bool()>& keepGoing,
                     const std::function<void(const EmuEvent&)>& deliver);

// The control channel of the modem emulator: a message-mode named pipe served by
// modem_emu_server.exe. One request message, one reply message.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The channel's name: QUARN_EMU_CHANNEL from the environment, which every program of one
// test run inherits (the server, the control tool, the facades in the process under test
// and the netsh stand-in it starts), so that no test reaches another's emulator; the
// default serves people who run the emulator by hand.
constexpr wchar_t EMU_CHANNEL_VARIABLE[] = L"QUARN_EMU_CHANNEL";
constexpr wchar_t EMU_DEFAULT_CHANNEL[] = L"QuarnModemEmu";

// The channel named by the environment, or the default; empty when the name given is not
// one (1 to 64 letters, digits, '-', '_' or '.'): a mistyped name must not fall back to the
// shared default, where it would meet another run's emulator.
std::wstring EmuChannelName();
// "\\.\pipe\" and the channel's name.
std::wstring EmuPipeName();
// A mutex that the server owns for as long as it runs: clients tell by it whether a pipe
// that is not there means "between two instances" or "no emulator".
std::wstring EmuServerMutexName();
// How long a request waits for a listening instance of a running server.
constexpr unsigned EMU_CONNECT_DEADLINE_MS = 5000;

// Sends one request and returns the reply. Returns "error: no emulator" when the server
// is not running (the facades then present a machine without a modem) and only then.
std::string EmuRequest(const std::string& request);

// True while a server runs (owns the channel's mutex).
bool IsEmulatorRunning();

// Waits until the server accepts connections; false after `timeoutMs`, with the last reply
// in `lastReply` when given.
bool WaitForEmulator(unsigned timeoutMs, std::string* lastReply = nullptr);

// Asks a running server to end and waits until it has; false when it still runs after
// `timeoutMs`. True at once when none runs.
bool ShutdownEmulator(unsigned timeoutMs);

// One machine event of the model (see MachineEvent in the model).
struct EmuEvent {
    uint64_t Sequence;
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

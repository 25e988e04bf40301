// The control channel of the modem emulator: a message-mode named pipe served by
// modem_emu_server.exe. One request message, one reply message.
#pragma once

#include <string>

constexpr wchar_t EMU_PIPE_NAME[] = L"\\\\.\\pipe\\QuarnModemEmu";

// Sends one request and returns the reply. Returns "error: no emulator" when the server
// is not running (the facades then present a machine without a modem).
std::string EmuRequest(const std::string& request);

// Waits until the server accepts connections; false after `timeoutMs`.
bool WaitForEmulator(unsigned timeoutMs);

// The control pipe "\\.\pipe\QuarnVelmoraPipe": another program (an installer, say) ends
// the application by writing "EXIT".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/platform_types.h"

constexpr wchar_t PIPE_SERVER_NAME[] = L"\\\\.\\pipe\\QuarnVelmoraPipe";
constexpr std::size_t PIPE_RECEIVE_BYTES = 512;      // 256 UTF-16 units
constexpr std::size_t PIPE_READ_LIMIT = PIPE_RECEIVE_BYTES - 1;
constexpr uint32_t PIPE_BUFFER_BYTES = 256;
// A client that connects and stays silent is let go after this, so the next one is served.
constexpr uint32_t PIPE_FIRST_MESSAGE_TIMEOUT_MS = 3000;

// The message as UTF-16LE text: the units up to the first zero unit, at most 255 of
// them; an odd last byte is no unit and is dropped.
std::wstring DecodePipeMessage(const uint8_t* bytes, std::size_t count);

// The hidden window, as the pipe server reaches it (by class name on Windows).
class ControlWindow {
public:
    virtual ~ControlWindow() = default;
    virtual bool Exists() = 0;
    // Posts WM_EXIT_CMD with EXIT_CMD_LPARAM; does not wait.
    virtual void PostExitCommand() = 0;
};

class PipeServer {
public:
    static void Attach(ControlWindow* window);

    // Body of the pipe server thread (Windows adapter); returns only when the pipe cannot
    // be created.
    static unsigned QUARN_STDCALL CreatePipeServer(void* argument);
    static void HandleNamedPipeData(const wchar_t* text);

    // What the last "SOCKETPORT" message set (each unit narrowed to its low byte).
    static std::string SocketPort();
};

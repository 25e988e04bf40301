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

// A name that is taken at start is tried again this often: it comes free when a client that
// held the pipe across its last owner's exit lets go, or that owner's session ends.
constexpr uint32_t PIPE_CREATE_RETRY_MS = 3000;

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

// Creating the pipe under its name (the Windows adapter); tests give fakes.
class PipeNamePort {
public:
    virtual ~PipeNamePort() = default;
    // True once the pipe exists; false with the system's error code, as when another
    // program holds the name.
    virtual bool TryCreatePipe(uint32_t* errorCode) = 0;
    virtual void SleepMs(uint32_t milliseconds) = 0;
};

class PipeServer {
public:
    static void Attach(ControlWindow* window);

    // Part of the server thread: returns once the pipe exists, trying every
    // PIPE_CREATE_RETRY_MS until then. Logs the first failure, and the success after one.
    static void CreatePipeWhenNameIsFree(PipeNamePort& pipe);

    // Body of the pipe server thread (Windows adapter); returns only when the pipe's
    // security or its event cannot be made.
    static unsigned QUARN_STDCALL CreatePipeServer(void* argument);
    static void HandleNamedPipeData(const wchar_t* text);

    // What the last "SOCKETPORT" message set (each unit narrowed to its low byte).
    static std::string SocketPort();
};

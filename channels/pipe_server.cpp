#include "channels/pipe_server.h"

#include <mutex>

#include "trace/trace.h"

namespace {

ControlWindow* g_Window = nullptr;

std::mutex& SocketPortMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string& SocketPortSetting() {
    static std::string setting;
    return setting;
}

}  // namespace

std::wstring DecodePipeMessage(const uint8_t* bytes, std::size_t count) {
    std::wstring text;
    const std::size_t units = (count < PIPE_READ_LIMIT ? count : PIPE_READ_LIMIT) / 2;
    for (std::size_t i = 0; i < units; ++i) {
        const wchar_t unit = static_cast<wchar_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        if (unit == L'\0') {
            break;
        }
        text += unit;
    }
    return text;
}

void PipeServer::Attach(ControlWindow* window) { g_Window = window; }

void PipeServer::CreatePipeWhenNameIsFree(PipeNamePort& pipe) {
    uint32_t error = 0;
    if (pipe.TryCreatePipe(&error)) {
        return;
    }
    // One line for the whole wait: the name may stay taken for the rest of the logon.
    LOG_ERROR("[ERROR] PipeServer::CreatePipeServer : CreateNamedPipeW FAILED! error: %lu\n",
              static_cast<unsigned long>(error));
    unsigned attempts = 1;
    do {
        pipe.SleepMs(PIPE_CREATE_RETRY_MS);
        ++attempts;
    } while (!pipe.TryCreatePipe(&error));
    LOG_INFO("[INFO] PipeServer::CreatePipeServer : CreateNamedPipeW succeeded at attempt %u\n", attempts);
}

void PipeServer::HandleNamedPipeData(const wchar_t* text) {
    const std::wstring data(text);
    LOG_INFO("[INFO] PipeServer::HandleNamedPipeData : Process Data: %ls, length: %zu\n", data.c_str(), data.size());
    if (g_Window == nullptr || !g_Window->Exists()) {
        return;
    }
    if (data.find(L"EXIT") != std::wstring::npos) {
        LOG_INFO("[INFO] PipeServer::HandleNamedPipeData : PostMessage: WM_EXIT_CMD\n");
        g_Window->PostExitCommand();
        return;
    }
    static const std::wstring kSocketPort = L"SOCKETPORT";
    const std::size_t at = data.find(kSocketPort);
    if (at != std::wstring::npos) {
        std::string value;
        for (const wchar_t unit : data.substr(at + kSocketPort.size())) {
            value += static_cast<char>(unit & 0xFF);
        }
        std::lock_guard<std::mutex> lock(SocketPortMutex());
        SocketPortSetting() = value;
    }
}

std::string PipeServer::SocketPort() {
    std::lock_guard<std::mutex> lock(SocketPortMutex());
    return SocketPortSetting();
}

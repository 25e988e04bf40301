// Arbitrary bytes as one pipe message: decoded and handled without reading past them,
// and the exit command posted exactly when the text holds "EXIT".
#include <cstdint>
#include <string>

#include "channels/pipe_server.h"
#include "trace/trace.h"

namespace {

class CountingWindow : public ControlWindow {
public:
    int exits = 0;
    bool Exists() override { return true; }
    void PostExitCommand() override { ++exits; }
};

CountingWindow g_Window;

void Discard(uint64_t, const TraceEventDescriptor&, const char*, uint32_t) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PipeServer::Attach(&g_Window);
    SetTraceWriter(Discard);
    TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 0, 0, 0, nullptr, &g_TraceContext);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text = DecodePipeMessage(data, size);
    if (text.size() > (PIPE_READ_LIMIT / 2) || text.find(L'\0') != std::wstring::npos) {
        __builtin_trap();
    }
    const int before = g_Window.exits;
    PipeServer::HandleNamedPipeData(text.c_str());
    if ((g_Window.exits - before == 1) != (text.find(L"EXIT") != std::wstring::npos)) {
        __builtin_trap();
    }
    return 0;
}

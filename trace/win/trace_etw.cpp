// ETW side of the trace: the provider's registration and the event writer.
#include "trace/win/trace_etw.h"

namespace {

// {78721E34-5273-47D4-8FA2-D5606F5423D4}
constexpr GUID kProviderGuid = {0x78721E34, 0x5273, 0x47D4, {0x8F, 0xA2, 0xD5, 0x60, 0x6F, 0x54, 0x23, 0xD4}};

void NTAPI EtwEnableCallback(LPCGUID sourceId, ULONG controlCode, UCHAR level, ULONGLONG matchAnyKeyword,
                             ULONGLONG matchAllKeyword, PEVENT_FILTER_DESCRIPTOR filterData, PVOID context) {
    TraceEnableCallback(sourceId, controlCode, level, matchAnyKeyword, matchAllKeyword, filterData, context);
}

void EtwWriteLine(uint64_t registrationHandle, const TraceEventDescriptor& descriptor, const char* line,
                  uint32_t size) {
    EtwEvent event = MakeEtwEvent(descriptor, line, size);
    EventWriteTransfer(registrationHandle, &event.Descriptor, nullptr, nullptr, 2, event.Data);
}

void EtwAndDebugWriteLine(uint64_t registrationHandle, const TraceEventDescriptor& descriptor, const char* line,
                          uint32_t size) {
    EtwWriteLine(registrationHandle, descriptor, line, size);
    OutputDebugStringA(line);
}

// Wine has no ETW consumer, so tests that drive the release executable there (the soak) need
// another way to read its trace. Asked for only through this variable, read once at registration.
bool IsDebugOutputAsked() {
    char value[4] = {};
    return GetEnvironmentVariableA("QUARN_TRACE_DEBUG_OUTPUT", value, sizeof value) == 1 && value[0] == '1';
}

}  // namespace

EtwEvent MakeEtwEvent(const TraceEventDescriptor& descriptor, const char* line, uint32_t size) {
    EtwEvent event{{descriptor.Id, descriptor.Version, descriptor.Channel, descriptor.Level, descriptor.Opcode,
                    descriptor.Task, descriptor.Keyword},
                   {}};
    // The first descriptor stands for the provider metadata this provider does not send.
    EventDataDescCreate(&event.Data[0], nullptr, 0);
    EventDataDescCreate(&event.Data[1], line, size);
    return event;
}

uint32_t RegisterTraceProvider() {
    if (g_TraceContext.RegistrationHandle != 0) {
        return ERROR_SUCCESS;
    }
    const bool debugOutput = IsDebugOutputAsked();
    SetTraceWriter(debugOutput ? EtwAndDebugWriteLine : EtwWriteLine);
    static_assert(sizeof(REGHANDLE) == sizeof(g_TraceContext.RegistrationHandle), "ETW handle is 64-bit");
    const ULONG result = EventRegister(&kProviderGuid, EtwEnableCallback, &g_TraceContext,
                                       reinterpret_cast<PREGHANDLE>(&g_TraceContext.RegistrationHandle));
    if (debugOutput) {
        // Opened as a listener at the verbose level opens it: every line goes out.
        TraceEnableCallback(&kProviderGuid, TRACE_CONTROL_ENABLE, 5, 0, 0, nullptr, &g_TraceContext);
    }
    return result;
}

uint32_t UnregisterTraceProvider() {
    if (g_TraceContext.RegistrationHandle == 0) {
        return ERROR_SUCCESS;
    }
    const ULONG result = EventUnregister(g_TraceContext.RegistrationHandle);
    g_TraceContext.RegistrationHandle = 0;
    return result;
}

// What a trace line becomes as an ETW event, field by field.
#include "trace/win/trace_etw.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(EtwEvents, EachLevelsDescriptorAndTheTwoDataDescriptors) {
    const struct {
        const TraceEventDescriptor* descriptor;
        USHORT id;
        UCHAR level;
    } cases[] = {{&TRACE_EVENT_INFO, 16, 4}, {&TRACE_EVENT_ERROR, 17, 2}, {&TRACE_EVENT_WARNING, 18, 3}};
    const char line[] = "[WARNING] Test : a line\n";
    for (const auto& c : cases) {
        const EtwEvent event = MakeEtwEvent(*c.descriptor, line, sizeof(line));
        EXPECT_EQ(event.Descriptor.Id, c.id);
        EXPECT_EQ(event.Descriptor.Level, c.level) << "event " << c.id;
        EXPECT_EQ(event.Descriptor.Version, 0);
        EXPECT_EQ(event.Descriptor.Channel, 0);
        EXPECT_EQ(event.Descriptor.Opcode, 0);
        EXPECT_EQ(event.Descriptor.Task, 0);
        EXPECT_EQ(event.Descriptor.Keyword, 0u);
        // The absent provider metadata: pointer 0, size 0, type 0.
        EXPECT_EQ(event.Data[0].Ptr, 0u);
        EXPECT_EQ(event.Data[0].Size, 0u);
        EXPECT_EQ(event.Data[0].Reserved, 0u);
        // The line with its terminator.
        EXPECT_EQ(event.Data[1].Ptr, reinterpret_cast<ULONGLONG>(line));
        EXPECT_EQ(event.Data[1].Size, sizeof(line));
        EXPECT_EQ(event.Data[1].Reserved, 0u);
    }
}

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text, and a vectored handler
// sees it before the system's own handler does: how the test reads the debug output.
std::string g_DebugOutput;
LONG CALLBACK KeepDebugOutput(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    if (record.ExceptionCode == DBG_PRINTEXCEPTION_C && record.NumberParameters >= 2) {
        g_DebugOutput += reinterpret_cast<const char*>(record.ExceptionInformation[1]);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// The debug output copy is for tests under Wine, which has no ETW listener: without the
// variable the gate stays shut, and with it every level's line goes out.
TEST(EtwProvider, DebugOutputOnlyWhenAskedAtRegistration) {
    constexpr uint32_t kLineBits = TRACE_BIT_INFO | TRACE_BIT_ERROR | TRACE_BIT_WARNING;
    const struct {
        const char* value;
        uint32_t bits;
    } cases[] = {{nullptr, 0}, {"0", 0}, {"11", 0}, {"1", kLineBits}};
    void* handler = AddVectoredExceptionHandler(1, KeepDebugOutput);
    for (const auto& c : cases) {
        const std::string name = std::string("QUARN_TRACE_DEBUG_OUTPUT=") + (c.value ? c.value : "(unset)");
        SetEnvironmentVariableA("QUARN_TRACE_DEBUG_OUTPUT", c.value);
        ASSERT_EQ(RegisterTraceProvider(), 0u);
        EXPECT_EQ(g_TraceEnableBits.load() & kLineBits, c.bits) << name;
        g_DebugOutput.clear();
        LOG_WARNING("[WARNING] Test : line %d\n", 7);
        EXPECT_EQ(g_DebugOutput, c.bits != 0 ? "[WARNING] Test : line 7\n" : "") << name;
        UnregisterTraceProvider();
        TraceEnableCallback(nullptr, TRACE_CONTROL_DISABLE, 0, 0, 0, nullptr, &g_TraceContext);
    }
    RemoveVectoredExceptionHandler(handler);
    SetEnvironmentVariableA("QUARN_TRACE_DEBUG_OUTPUT", nullptr);
}

}  // namespace

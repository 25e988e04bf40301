// What a trace line becomes as an ETW event, field by field.
#include "trace/win/trace_etw.h"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace

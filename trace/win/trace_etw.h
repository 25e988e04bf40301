// The ETW side of the trace: what one trace line becomes as an event.
#pragma once

#include <windows.h>
#include <evntprov.h>

#include "trace/trace.h"

// The event descriptor of the line's level and its two data descriptors (the empty
// provider-metadata one, then the line itself with its terminator), as EventWriteTransfer
// takes them.
struct EtwEvent {
    EVENT_DESCRIPTOR Descriptor;
    EVENT_DATA_DESCRIPTOR Data[2];
};
EtwEvent MakeEtwEvent(const TraceEventDescriptor& descriptor, const char* line, uint32_t size);

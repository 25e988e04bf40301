// The process-wide diagnostic trace: a gate of five enable bits driven by the listener's
// requested level, and the LOG_* statements every subsystem reports through.
// Portable: the ETW registration and writer live in win/trace_etw.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct TraceEventDescriptor {
    uint16_t Id;
    uint8_t Version;
    uint8_t Channel;
    uint8_t Level;
    uint8_t Opcode;
    uint16_t Task;
    uint64_t Keyword;
};

constexpr TraceEventDescriptor TRACE_EVENT_INFO{16, 0, 0, 4, 0, 0, 0};
constexpr TraceEventDescriptor TRACE_EVENT_ERROR{17, 0, 0, 2, 0, 0, 0};
constexpr TraceEventDescriptor TRACE_EVENT_WARNING{18, 0, 0, 3, 0, 0, 0};

// Enable-bit masks of the three line levels.
constexpr uint32_t TRACE_BIT_INFO = 0x1;
constexpr uint32_t TRACE_BIT_ERROR = 0x2;
constexpr uint32_t TRACE_BIT_WARNING = 0x4;

constexpr uint16_t TRACE_ENABLE_BIT_COUNT = 5;
constexpr std::size_t TRACE_BUFFER_SIZE = 500;
// vsnprintf limit: at most 498 characters and a NUL reach the event.
constexpr std::size_t TRACE_FORMAT_LIMIT = TRACE_BUFFER_SIZE - 1;

// ETW enable-callback control codes.
constexpr uint32_t TRACE_CONTROL_DISABLE = 0;
constexpr uint32_t TRACE_CONTROL_ENABLE = 1;

// Read by logging statements on every thread while the ETW thread updates it.
extern std::atomic<uint32_t> g_TraceEnableBits;

struct TraceContext {
    uint64_t RegistrationHandle;
    const void* ProviderTraits;
    uint64_t MatchAnyKeyword;
    uint64_t MatchAllKeyword;
    uint32_t Flags;
    uint32_t IsEnabled;
    uint8_t Level;
    uint16_t EnableBitsCount;
    std::atomic<uint32_t>* EnableBits;
    const uint64_t* EnableKeyWords;
    const uint8_t* EnableLevel;
};

extern TraceContext g_TraceContext;

// The enable callback's logic, with the platform callback's arguments in their order.
void TraceEnableCallback(const void* sourceId, uint32_t controlCode, uint8_t level,
                         uint64_t matchAnyKeyword, uint64_t matchAllKeyword,
                         const void* filterData, void* callbackContext);

// Where enabled lines go: the ETW writer on Windows. `line` is NUL-terminated and
// `size` counts the NUL. Must not throw.
using TraceWriter = void (*)(uint64_t registrationHandle, const TraceEventDescriptor& descriptor,
                             const char* line, uint32_t size);

// Installs the writer; null stops all writes. Constant-initialised to null, so the
// trace works (silently) even where no start-up code has run.
void SetTraceWriter(TraceWriter writer);

// One logging statement: if the level's bit is set, formats into a buffer of its own
// (so concurrent statements never mix their text) and writes it. The LOG_* macros test
// the bit first; this tests it again, for a listener that left in between.
void TraceStatement(const TraceEventDescriptor& descriptor, uint32_t enableBit, const char* format, ...)
#if defined(__MINGW32__)
    // mingw's C99 printf (which std::vsnprintf uses there) takes %zu and %ls too.
    __attribute__((format(gnu_printf, 3, 4)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// The gate is tested at the call site: a line nobody listens to costs one load and one
// branch, and its arguments are not evaluated (none of them may have an effect that matters).
#define QUARN_TRACE_LINE(DESCRIPTOR, BIT, ...)                                       \
    do {                                                                             \
        if ((g_TraceEnableBits.load(std::memory_order_relaxed) & (BIT)) != 0) {      \
            TraceStatement(DESCRIPTOR, BIT, __VA_ARGS__);                            \
        }                                                                            \
    } while (false)
#define LOG_INFO(...) QUARN_TRACE_LINE(TRACE_EVENT_INFO, TRACE_BIT_INFO, __VA_ARGS__)
#define LOG_WARNING(...) QUARN_TRACE_LINE(TRACE_EVENT_WARNING, TRACE_BIT_WARNING, __VA_ARGS__)
#define LOG_ERROR(...) QUARN_TRACE_LINE(TRACE_EVENT_ERROR, TRACE_BIT_ERROR, __VA_ARGS__)

// Registration (Windows: EventRegister/EventUnregister). Return Windows error codes.
uint32_t RegisterTraceProvider();
uint32_t UnregisterTraceProvider();

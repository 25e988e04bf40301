#include "trace/trace.h"

#include <cstdio>
#include <cstdarg>
#include <cstring>

namespace {

constexpr uint64_t kEnableKeyWords[TRACE_ENABLE_BIT_COUNT] = {0, 0, 0, 0, 0};
// Per-bit levels in bit order: information, error, warning, critical, verbose.
constexpr uint8_t kEnableLevel[TRACE_ENABLE_BIT_COUNT] = {4, 2, 3, 1, 5};

std::atomic<TraceWriter> g_TraceWriter{nullptr};

bool IsBitEnabled(uint8_t bitLevel, uint64_t bitKeyword, uint8_t requestedLevel, uint64_t matchAny,
                  uint64_t matchAll) {
    const bool levelPasses = bitLevel <= requestedLevel || requestedLevel == 0;
    const bool keywordPasses =
        bitKeyword == 0 || ((bitKeyword & matchAny) != 0 && (bitKeyword & matchAll) == matchAll);
    return levelPasses && keywordPasses;
}

}  // namespace

std::atomic<uint32_t> g_TraceEnableBits{0};

TraceContext g_TraceContext{0, nullptr, 0, 0, 0, 0, 0, TRACE_ENABLE_BIT_COUNT, &g_TraceEnableBits,
                            kEnableKeyWords, kEnableLevel};

void TraceEnableCallback(const void* /*sourceId*/, uint32_t controlCode, uint8_t level,
                         uint64_t matchAnyKeyword, uint64_t matchAllKeyword,
                         const void* /*filterData*/, void* callbackContext) {
    auto* context = static_cast<TraceContext*>(callbackContext);
    if (context == nullptr) {
        return;
    }
    if (controlCode == TRACE_CONTROL_ENABLE) {
        context->Level = level;
        context->MatchAnyKeyword = matchAnyKeyword;
        context->MatchAllKeyword = matchAllKeyword;
        context->IsEnabled = 1;
        uint32_t bits = context->EnableBits->load(std::memory_order_relaxed);
        for (uint16_t i = 0; i < context->EnableBitsCount; ++i) {
            if (IsBitEnabled(context->EnableLevel[i], context->EnableKeyWords[i], level,
                             matchAnyKeyword, matchAllKeyword)) {
                bits |= 1u << i;
            } else {
                bits &= ~(1u << i);
            }
        }
        context->EnableBits->store(bits, std::memory_order_relaxed);
    } else if (controlCode == TRACE_CONTROL_DISABLE) {
        context->IsEnabled = 0;
        context->Level = 0;
        context->MatchAnyKeyword = 0;
        context->MatchAllKeyword = 0;
        context->EnableBits->store(0, std::memory_order_relaxed);
    }
}

void SetTraceWriter(TraceWriter writer) { g_TraceWriter.store(writer, std::memory_order_release); }

namespace {

// The stored length of a line whose vsnprintf count is `count` (not negative): cut at 498.
std::size_t StoredLength(int count) {
    const auto length = static_cast<std::size_t>(count);
    return length < TRACE_FORMAT_LIMIT - 1 ? length : TRACE_FORMAT_LIMIT - 1;
}

// After a failed conversion (or a C runtime that reports a cut line as an error), the
// partial text may be unterminated: format again into a zeroed buffer.
std::size_t FormatAfterFailure(char* buffer, const char* format, va_list args) {
    std::memset(buffer, 0, TRACE_BUFFER_SIZE);
    std::vsnprintf(buffer, TRACE_FORMAT_LIMIT, format, args);
    buffer[TRACE_FORMAT_LIMIT - 1] = '\0';
    return std::strlen(buffer);
}

}  // namespace

void TraceStatement(const TraceEventDescriptor& descriptor, uint32_t enableBit, const char* format, ...) {
    // The buffer is the statement's own, so a line nobody listens to need not be formatted.
    if ((g_TraceEnableBits.load(std::memory_order_relaxed) & enableBit) == 0) {
        return;
    }
    // Formatted without a zero fill and without a
    // second pass over the text: vsnprintf's count is the line's length, as no trace format
    // writes a NUL character of its own. This keeps a statement close to a bare vsnprintf.
    char line[TRACE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    const int count = std::vsnprintf(line, TRACE_FORMAT_LIMIT, format, args);
    va_end(args);
    std::size_t length = 0;
    if (count >= 0) {
        length = StoredLength(count);
        line[length] = '\0';  // there already with a C99 vsnprintf; insurance for a cut line
    } else {
        va_start(args, format);
        length = FormatAfterFailure(line, format, args);
        va_end(args);
    }

    const TraceWriter writer = g_TraceWriter.load(std::memory_order_acquire);
    if (writer != nullptr) {
        writer(g_TraceContext.RegistrationHandle, descriptor, line, static_cast<uint32_t>(length + 1));
    }
}

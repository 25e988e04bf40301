// One logging statement, gate open and gate closed, against its floor: a bare vsnprintf of
// the same line, with the same limit, into a stack buffer of the same size. Each line is
// registered as LINE/bare, LINE/open and LINE/closed; scripts/bench.sh runs them with
// repetitions in random interleaving and compares medians.
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "trace/trace.h"

namespace {

void DiscardLine(uint64_t, const TraceEventDescriptor&, const char* line, uint32_t size) {
    benchmark::DoNotOptimize(line);
    benchmark::DoNotOptimize(size);
}

// Variadic and out of line, as the statement is, so that both pay the same call.
__attribute__((noinline, format(printf, 2, 3))) void BareVsnprintf(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, TRACE_FORMAT_LIMIT, format, args);
    va_end(args);
}

const std::string kLongText(600, 'x');

void OpenGate() {
    SetTraceWriter(DiscardLine);
    TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 4, 0, 0, nullptr, &g_TraceContext);
}

void CloseGate() {
    SetTraceWriter(DiscardLine);
    TraceEnableCallback(nullptr, TRACE_CONTROL_DISABLE, 0, 0, 0, nullptr, &g_TraceContext);
}

// The floor and the statement in both gate states, for one line (a literal and its arguments).
#define QUARN_LINE_BENCHMARKS(NAME, ...)                              \
    void NAME##_bare(benchmark::State& state) {                       \
        for (auto _ : state) {                                        \
            char buffer[TRACE_BUFFER_SIZE];                           \
            BareVsnprintf(buffer, __VA_ARGS__);                       \
            benchmark::DoNotOptimize(buffer);                         \
        }                                                             \
    }                                                                 \
    void NAME##_open(benchmark::State& state) {                       \
        OpenGate();                                                   \
        for (auto _ : state) {                                        \
            LOG_INFO(__VA_ARGS__);                                    \
        }                                                             \
        CloseGate();                                                  \
    }                                                                 \
    void NAME##_closed(benchmark::State& state) {                     \
        CloseGate();                                                  \
        for (auto _ : state) {                                        \
            LOG_INFO(__VA_ARGS__);                                    \
        }                                                             \
    }                                                                 \
    BENCHMARK(NAME##_bare)->Name(#NAME "/bare");                      \
    BENCHMARK(NAME##_open)->Name(#NAME "/open");                      \
    BENCHMARK(NAME##_closed)->Name(#NAME "/closed");

// A typical line: the scope name repeated as an argument, and a number.
QUARN_LINE_BENCHMARKS(typical, "[INFO] ConfigParser::ParserUISettings : %s: return configXml.ErrorID(): %d\n",
                      "ConfigParser::ParserUISettings", 0)
// A wide string, as the account and version lines carry.
QUARN_LINE_BENCHMARKS(wide, "[INFO] AccountUpdatedHandler : %s: NetworkAccountId: %ls, HasNetworkChanged: %d\n",
                      "AccountUpdatedHandler", L"account-5g", 1)
// A line cut at 498 characters.
QUARN_LINE_BENCHMARKS(cut, "[INFO] MBIMCommand::GetSimSlot : netsh_result: %s\n", kLongText.c_str())

}  // namespace

BENCHMARK_MAIN();

// One logging statement, gate closed and gate open, against a bare vsnprintf of the same
// line into a stack buffer.
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>

#include "trace/trace.h"

namespace {

void DiscardLine(uint64_t, const TraceEventDescriptor&, const char* line, uint32_t size) {
    benchmark::DoNotOptimize(line);
    benchmark::DoNotOptimize(size);
}

void BareVsnprintf(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, TRACE_FORMAT_LIMIT, format, args);
    va_end(args);
}

void BM_BareVsnprintf(benchmark::State& state) {
    for (auto _ : state) {
        char buffer[TRACE_BUFFER_SIZE];
        BareVsnprintf(buffer, "[INFO] ConfigParser::ParserUISettings : %s: return configXml.ErrorID(): %d",
                      "ConfigParser::ParserUISettings", 0);
        benchmark::DoNotOptimize(buffer);
    }
}

void BM_LogGateClosed(benchmark::State& state) {
    SetTraceWriter(DiscardLine);
    TraceEnableCallback(nullptr, TRACE_CONTROL_DISABLE, 0, 0, 0, nullptr, &g_TraceContext);
    for (auto _ : state) {
        LOG_INFO("[INFO] ConfigParser::ParserUISettings : %s: return configXml.ErrorID(): %d",
                 "ConfigParser::ParserUISettings", 0);
    }
}

void BM_LogGateOpen(benchmark::State& state) {
    SetTraceWriter(DiscardLine);
    TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 4, 0, 0, nullptr, &g_TraceContext);
    for (auto _ : state) {
        LOG_INFO("[INFO] ConfigParser::ParserUISettings : %s: return configXml.ErrorID(): %d",
                 "ConfigParser::ParserUISettings", 0);
    }
    TraceEnableCallback(nullptr, TRACE_CONTROL_DISABLE, 0, 0, 0, nullptr, &g_TraceContext);
}

BENCHMARK(BM_BareVsnprintf);
BENCHMARK(BM_LogGateClosed);
BENCHMARK(BM_LogGateOpen);

}  // namespace

BENCHMARK_MAIN();

// Captures trace lines in tests: enables every level and records what would reach ETW.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "trace/trace.h"

struct CapturedLine {
    uint16_t EventId;
    std::string Text;
    uint32_t Size;
    TraceEventDescriptor Descriptor;
};

class TraceCapture {
public:
    TraceCapture() {
        std::lock_guard<std::mutex> lock(Mutex());
        Lines().clear();
        SetTraceWriter(&TraceCapture::Record);
        TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 0, 0, 0, nullptr, &g_TraceContext);
    }
    ~TraceCapture() {
        TraceEnableCallback(nullptr, TRACE_CONTROL_DISABLE, 0, 0, 0, nullptr, &g_TraceContext);
        SetTraceWriter(nullptr);
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<CapturedLine> Captured() const {
        std::lock_guard<std::mutex> lock(Mutex());
        return Lines();
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const CapturedLine& line : Captured()) {
            texts.push_back(line.Text);
        }
        return texts;
    }
    bool Contains(const std::string& text) const {
        for (const CapturedLine& line : Captured()) {
            if (line.Text == text) {
                return true;
            }
        }
        return false;
    }

private:
    static void Record(uint64_t, const TraceEventDescriptor& descriptor, const char* line, uint32_t size) {
        std::lock_guard<std::mutex> lock(Mutex());
        Lines().push_back({descriptor.Id, std::string(line), size, descriptor});
    }
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<CapturedLine>& Lines() {
        static std::vector<CapturedLine> lines;
        return lines;
    }
};

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/trace_capture.h"
#include "trace/trace.h"

namespace {

// Many threads logging at once, with a listener coming and going, must hand every
// written line over whole: never mixed with or replaced by another thread's text.
TEST(TraceConcurrency, EveryWrittenLineArrivesWhole) {
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 2000;
    TraceCapture capture;

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string filler(40 + t * 50, static_cast<char>('a' + t));
            for (int i = 0; i < kLinesPerThread; ++i) {
                LOG_INFO("[INFO] Worker::Run : thread %d line %d %s end\n", t, i, filler.c_str());
            }
        });
    }
    std::thread toggler([] {
        for (int i = 0; i < 200; ++i) {
            TraceEnableCallback(nullptr, i % 2 ? TRACE_CONTROL_ENABLE : TRACE_CONTROL_DISABLE, 4, 0, 0, nullptr,
                                &g_TraceContext);
        }
        TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 4, 0, 0, nullptr, &g_TraceContext);
    });
    for (auto& thread : threads) {
        thread.join();
    }
    toggler.join();

    const auto lines = capture.Captured();
    ASSERT_FALSE(lines.empty());
    std::set<std::string> seen;
    for (const CapturedLine& line : lines) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(std::sscanf(line.Text.c_str(), "[INFO] Worker::Run : thread %d line %d", &t, &i), 2) << line.Text;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        const std::string expected = "[INFO] Worker::Run : thread " + std::to_string(t) + " line " +
                                     std::to_string(i) + " " + std::string(40 + t * 50, static_cast<char>('a' + t)) +
                                     " end\n";
        ASSERT_EQ(line.Text, expected);
        ASSERT_EQ(line.Size, expected.size() + 1);
        ASSERT_TRUE(seen.insert(line.Text).second) << "written twice: " << line.Text;
    }
}

}  // namespace

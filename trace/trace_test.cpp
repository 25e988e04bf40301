#include "trace/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/trace_capture.h"

namespace {

struct GateCase {
    uint8_t requestedLevel;
    bool info;
    bool warning;
    bool error;
};

class TraceGateTest : public ::testing::TestWithParam<GateCase> {};

TEST_P(TraceGateTest, RequestedLevelGatesEachLineKind) {
    const GateCase& c = GetParam();
    TraceCapture capture;
    TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, c.requestedLevel, 0, 0, nullptr, &g_TraceContext);

    LOG_INFO("[INFO] Test : info %d\n", 1);
    LOG_WARNING("[WARNING] Test : warning %d\n", 2);
    LOG_ERROR("[ERROR] Test : error %d\n", 3);

    EXPECT_EQ(capture.Contains("[INFO] Test : info 1\n"), c.info);
    EXPECT_EQ(capture.Contains("[WARNING] Test : warning 2\n"), c.warning);
    EXPECT_EQ(capture.Contains("[ERROR] Test : error 3\n"), c.error);
    for (const CapturedLine& line : capture.Captured()) {
        EXPECT_EQ(line.Size, line.Text.size() + 1);
    }
}

// Each level goes out as its own event: id, version, channel, level, opcode, task, keyword.
TEST(TraceEvents, EachLineKindGoesOutAsItsDescriptor) {
    TraceCapture capture;
    LOG_INFO("[INFO] Test : a\n");
    LOG_ERROR("[ERROR] Test : b\n");
    LOG_WARNING("[WARNING] Test : c\n");
    const std::vector<CapturedLine> lines = capture.Captured();
    ASSERT_EQ(lines.size(), 3u);
    const struct {
        uint16_t id;
        uint8_t level;
    } expected[] = {{16, 4}, {17, 2}, {18, 3}};
    for (std::size_t i = 0; i < 3; ++i) {
        const TraceEventDescriptor& d = lines[i].Descriptor;
        EXPECT_EQ(d.Id, expected[i].id) << lines[i].Text;
        EXPECT_EQ(d.Level, expected[i].level) << lines[i].Text;
        EXPECT_EQ(d.Version, 0u);
        EXPECT_EQ(d.Channel, 0u);
        EXPECT_EQ(d.Opcode, 0u);
        EXPECT_EQ(d.Task, 0u);
        EXPECT_EQ(d.Keyword, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryLevel, TraceGateTest,
                         ::testing::Values(GateCase{0, true, true, true}, GateCase{1, false, false, false},
                                           GateCase{2, false, false, true}, GateCase{3, false, true, true},
                                           GateCase{4, true, true, true}, GateCase{5, true, true, true}));

TEST(TraceEnableCallback, SetsTheFiveBitsFromTheLevelTable) {
    TraceCapture capture;
    // Bits in order: info(4), error(2), warning(3), critical(1), verbose(5).
    const std::pair<uint8_t, uint32_t> expected[] = {{0, 0x1F}, {1, 0x08}, {2, 0x0A}, {3, 0x0E}, {4, 0x0F}, {5, 0x1F}};
    for (const auto& [level, bits] : expected) {
        TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, level, 0x10, 0x20, nullptr, &g_TraceContext);
        EXPECT_EQ(g_TraceEnableBits.load(), bits) << "level " << int(level);
        EXPECT_EQ(g_TraceContext.Level, level);
        EXPECT_EQ(g_TraceContext.IsEnabled, 1u);
        EXPECT_EQ(g_TraceContext.MatchAnyKeyword, 0x10u);
        EXPECT_EQ(g_TraceContext.MatchAllKeyword, 0x20u);
    }
}

TEST(TraceEnableCallback, DisableClearsEverythingAndANewEnableRecomputes) {
    TraceCapture capture;
    TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 5, 1, 2, nullptr, &g_TraceContext);
    TraceEnableCallback(nullptr, TRACE_CONTROL_DISABLE, 5, 1, 2, nullptr, &g_TraceContext);
    EXPECT_EQ(g_TraceEnableBits.load(), 0u);
    EXPECT_EQ(g_TraceContext.IsEnabled, 0u);
    EXPECT_EQ(g_TraceContext.Level, 0);
    EXPECT_EQ(g_TraceContext.MatchAnyKeyword, 0u);
    EXPECT_EQ(g_TraceContext.MatchAllKeyword, 0u);
    LOG_ERROR("[ERROR] Test : while disabled\n");
    EXPECT_TRUE(capture.Captured().empty());

    TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 2, 0, 0, nullptr, &g_TraceContext);
    EXPECT_EQ(g_TraceEnableBits.load(), 0x0Au);
    LOG_INFO("[INFO] Test : not at error level\n");
    LOG_ERROR("[ERROR] Test : at error level\n");
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"[ERROR] Test : at error level\n"});
}

TEST(TraceEnableCallback, IgnoresOtherControlCodesAndANullContext) {
    TraceCapture capture;
    TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 3, 0, 0, nullptr, &g_TraceContext);
    TraceEnableCallback(nullptr, 2 /* capture state */, 5, 0, 0, nullptr, &g_TraceContext);
    EXPECT_EQ(g_TraceContext.Level, 3);
    EXPECT_EQ(g_TraceEnableBits.load(), 0x0Eu);
    TraceEnableCallback(nullptr, TRACE_CONTROL_DISABLE, 0, 0, 0, nullptr, nullptr);
    EXPECT_EQ(g_TraceEnableBits.load(), 0x0Eu);
}

// Around the limit: the text reaches the writer cut to its first 498 characters, and the
// size counts exactly the text and its NUL.
TEST(TraceStatement, CutsLinesAt498Characters) {
    TraceCapture capture;
    const std::string prefix = "[INFO] Test : ";
    const std::size_t lengths[] = {0, 1, 497, 498, 499, 500, 600, 2000};
    for (const std::size_t length : lengths) {
        const std::string text(length - std::min(length, prefix.size()), 'x');
        LOG_INFO("[INFO] Test : %s", text.c_str());
    }
    const auto lines = capture.Captured();
    ASSERT_EQ(lines.size(), std::size(lengths));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string whole = prefix + std::string(lengths[i] - std::min(lengths[i], prefix.size()), 'x');
        const std::string expected = whole.substr(0, 498);
        EXPECT_EQ(lines[i].Text, expected) << "line of " << whole.size();
        EXPECT_EQ(lines[i].Size, expected.size() + 1) << "line of " << whole.size();
    }
}

// A conversion that fails (a wide character the C locale cannot write, on C runtimes that
// refuse it) still hands over a terminated line made only of this statement's text.
TEST(TraceStatement, AFailedConversionStillGivesATerminatedLineOfItsOwn) {
    TraceCapture capture;
    const std::string longText(450, 'q');
    LOG_ERROR("[ERROR] Test : %s", longText.c_str());
    LOG_ERROR("[ERROR] Test : before %ls after", L"caf\u00e9 \U0001F600");
    const auto lines = capture.Captured();
    ASSERT_EQ(lines.size(), 2u);
    const CapturedLine& line = lines[1];
    EXPECT_EQ(line.Text.rfind("[ERROR] Test : before ", 0), 0u) << line.Text;
    EXPECT_EQ(line.Text.find('q'), std::string::npos) << line.Text;
    EXPECT_LE(line.Text.size(), 498u);
    EXPECT_EQ(line.Size, line.Text.size() + 1);
}

// A closed gate skips the whole statement, its arguments included; an open one evaluates
// them once.
TEST(TraceStatement, AClosedGateEvaluatesNoArgument) {
    int evaluated = 0;
    auto argument = [&evaluated] { return ++evaluated; };
    LOG_INFO("[INFO] Test : %d\n", argument());
    LOG_WARNING("[WARNING] Test : %d\n", argument());
    LOG_ERROR("[ERROR] Test : %d\n", argument());
    EXPECT_EQ(evaluated, 0);

    TraceCapture capture;
    TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 2, 0, 0, nullptr, &g_TraceContext);
    LOG_INFO("[INFO] Test : %d\n", argument());
    LOG_ERROR("[ERROR] Test : %d\n", argument());
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"[ERROR] Test : 1\n"});
}

}  // namespace

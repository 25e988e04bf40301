#include "deploy/stop_instance.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "deploy/apply_setting.h"
#include "tests/support/trace_capture.h"

namespace {

// Instances with a fake clock. An instance ends when asked unless it is stubborn (it ignores
// WM_CLOSE), and ends when terminated unless it is unkillable. Time passes only in the waits.
class FakeCloser : public InstanceCloser {
public:
    std::set<uint32_t> stubborn;
    std::set<uint32_t> unkillable;
    std::set<uint32_t> unreachable;  // their session has no user to ask as

    uint64_t now = 1000;
    std::vector<std::string> calls;
    std::set<uint32_t> ended;

    bool AskToClose(const HeldInstance& instance, uint32_t withinMs) override {
        calls.push_back("ask " + std::to_string(instance.ProcessId) + " within " + std::to_string(withinMs));
        if (unreachable.count(instance.ProcessId) > 0) {
            return false;
        }
        if (stubborn.count(instance.ProcessId) == 0) {
            ended.insert(instance.ProcessId);
        }
        return true;
    }
    bool WaitForEnd(const HeldInstance& instance, uint32_t ms) override {
        calls.push_back("wait " + std::to_string(instance.ProcessId) + " " + std::to_string(ms));
        if (ended.count(instance.ProcessId) > 0) {
            now += 10;
            return true;
        }
        now += ms;
        return false;
    }
    bool Terminate(const HeldInstance& instance) override {
        calls.push_back("terminate " + std::to_string(instance.ProcessId));
        if (unkillable.count(instance.ProcessId) > 0) {
            return false;
        }
        ended.insert(instance.ProcessId);
        return true;
    }
    uint64_t NowMs() override { return now; }
};

TEST(CloseInstances, AllAreAskedFirstThenWaitedForAgainstOneDeadline) {
    FakeCloser closer;
    closer.stubborn = {20};
    const CloseResult result = CloseInstances(closer, {{10, 1}, {20, 2}, {30, 3}});
    EXPECT_EQ(closer.calls, (std::vector<std::string>{"ask 10 within 20000", "ask 20 within 20000", "ask 30 within 20000",
                                                      "wait 10 20000", "wait 20 19990", "wait 30 0", "terminate 20"}));
    EXPECT_EQ(result.Closed, 2u);
    EXPECT_EQ(result.Terminated, 1u);
    EXPECT_EQ(result.Left, 0u);
}

// 40 sessions on a terminal server, none of which closes: the install waits 20 s, not 40 times
// that, and every instance is ended, each with its line in the trace.
TEST(CloseInstances, ManyStubbornInstancesTakeOneDeadlineAndAreAllEnded) {
    TraceCapture trace;
    FakeCloser closer;
    std::vector<HeldInstance> instances;
    for (uint32_t session = 1; session <= 40; ++session) {
        instances.push_back({1000 + session, session});
        closer.stubborn.insert(1000 + session);
    }
    const CloseResult result = CloseInstances(closer, instances);
    EXPECT_EQ(closer.now - 1000, CloseLimits{}.DeadlineMs);
    EXPECT_EQ(result.Terminated, 40u);
    EXPECT_EQ(closer.ended.size(), 40u);
    EXPECT_TRUE(trace.Contains("[WARNING] CloseInstances : process 1040 (session 40) still ran at the deadline: "
                               "TerminateProcess\n"));
    EXPECT_EQ(CloseExitCode(result), 2);
}

// The exit code tells the truth: 0 only when nothing of the installed program is left.
TEST(CloseInstances, TheExitCodeSaysWhatHappened) {
    const struct {
        std::set<uint32_t> stubborn, unkillable, unreachable;
        int code;
    } cases[] = {
        {{}, {}, {}, 0},       // each closed when asked
        {{2}, {}, {}, 2},      // one ended at the deadline
        {{}, {}, {2}, 2},      // one could not be asked, and was ended at the deadline
        {{2}, {2}, {}, 1},     // one still runs: TerminateProcess did not end it
        {{1, 2}, {1}, {}, 1},  // ... whatever happened to the others
    };
    for (const auto& c : cases) {
        TraceCapture trace;
        FakeCloser closer;
        closer.stubborn = c.stubborn;
        closer.unkillable = c.unkillable;
        closer.unreachable = c.unreachable;
        EXPECT_EQ(CloseExitCode(CloseInstances(closer, {{1, 1}, {2, 2}})), c.code) << "case " << (&c - cases);
        const bool left = !c.unkillable.empty();
        EXPECT_EQ(trace.Contains("[ERROR] CloseInstances : process " + std::to_string(*c.unkillable.begin() * left) +
                                 " (session " + std::to_string(*c.unkillable.begin() * left) +
                                 ") still runs after TerminateProcess\n"),
                  left)
            << "case " << (&c - cases);
    }
    FakeCloser none;
    EXPECT_EQ(CloseExitCode(CloseInstances(none, {})), 0);
    EXPECT_TRUE(none.calls.empty());
}

// The installed program is the file, not a spelling of its path: a start by its short name,
// a link or another case is the same file; a copy elsewhere is not, nor is a file unknown.
TEST(SessionsRunning, OnlyTheInstalledFilesSessionsEachOnce) {
    const FileIdentity installed{true, 0x1234, 77};
    const std::vector<RunningProcess> processes = {
        {100, 3, installed},
        {101, 1, installed},
        {102, 3, installed},
        {103, 2, {true, 0x1234, 78}},  // another copy of the program, same volume
        {104, 4, {true, 0x9999, 77}},  // the same index on another volume
        {105, 5, {}},                  // image not readable
    };
    EXPECT_EQ(SessionsRunning(processes, installed), (std::vector<uint32_t>{1, 3}));
    EXPECT_TRUE(SessionsRunning(processes, FileIdentity{}).empty()) << "nothing unknown matches";
    EXPECT_FALSE(SameFile(FileIdentity{}, FileIdentity{}));
}

// The restart list: what is written is read back, anything else in it is skipped, and no
// session is started twice or more than the limit in all.
TEST(SessionList, ReadsBackAndSkipsWhatIsNoSession) {
    EXPECT_EQ(ParseSessionList(FormatSessionList({1, 3, 4294967295u})), (std::vector<uint32_t>{1, 3, 4294967295u}));
    const struct {
        const char* text;
        std::vector<uint32_t> sessions;
    } cases[] = {
        {"", {}},
        {"2\r\n1\n2\n", {1, 2}},
        {"x\n-1\n 4\n4\t\n+5\n4294967296\n99999999999\n007\n\n", {7}},
        {"1\n2", {1, 2}},  // a last line without its end
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseSessionList(c.text), c.sessions) << "text: " << c.text;
    }
    std::string many;
    for (int session = 200; session > 0; --session) {
        many += std::to_string(session) + "\n";
    }
    const std::vector<uint32_t> read = ParseSessionList(many);
    ASSERT_EQ(read.size(), SESSION_LIST_LIMIT);
    EXPECT_EQ(read.front(), 1u);
}

// A list from before the machine last started belongs to an install that never finished: its
// sessions are gone, and their numbers may be other users' now.
TEST(SessionList, OnlyAListWrittenSinceTheLastStartIsCurrent) {
    constexpr uint64_t kMs = 10000;  // file-time units
    const uint64_t now = 133000000000000000ull;
    const uint64_t uptimeMs = 3600000;  // started an hour ago
    const struct {
        uint64_t written;
        bool current;
    } cases[] = {
        {now - 60000 * kMs, true},              // a minute ago
        {now - uptimeMs * kMs, true},           // at the start itself
        {now - (uptimeMs + 1) * kMs, false},    // just before it
        {now - 86400000ull * kMs, false},       // yesterday
        {0, false},
        {now + 5000 * kMs, true},  // the clock was set back since: still this start's
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RestartListIsCurrent(c.written, now, uptimeMs), c.current) << "case " << (&c - cases);
    }
    EXPECT_TRUE(RestartListIsCurrent(0, 5, 1)) << "a clock near its epoch: no underflow";
}

const std::string kSettings =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<!-- Settings beside QuarnVelmora.exe. <applySetting>9</applySetting> -->\n"
    "<config>\n"
    "  <applySetting>1</applySetting>\n"
    "  <presets>\n"
    "    <preset Number=\"1\">\n"
    "      <Menu Name=\"About\"   Display=\"Hide\"/>\n"
    "    </preset>\n"
    "\t<preset Number=\"2\"><Menu Name=\"TrayIcon\" Display=\"Show\"/></preset>\n"
    "  </presets>\n"
    "</config>\n";

std::string With(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

// Only applySetting changes; the administrator's spacing, comments and order stay.
TEST(ApplySetting, ChangesOnlyTheElementAndKeepsEverythingElse) {
    std::string edited;
    ASSERT_EQ(ApplySetting(kSettings, "2", edited), ApplySettingResult::Applied);
    EXPECT_EQ(edited, With(kSettings, "<applySetting>1<", "<applySetting>2<"));
    ASSERT_EQ(ApplySetting(kSettings, "1", edited), ApplySettingResult::Applied);
    EXPECT_EQ(edited, kSettings);
    const std::string spaced = With(kSettings, "<applySetting>1<", "<applySetting> 1 \n <");
    ASSERT_EQ(ApplySetting(spaced, "2", edited), ApplySettingResult::Applied);
    EXPECT_EQ(edited, With(kSettings, "<applySetting>1<", "<applySetting>2<"));
}

// Only a number the file names as a preset, as the program selects it; anything else changes
// nothing.
TEST(ApplySetting, RefusesWhatNoPresetIsAndWhatIsNoSettingsFile) {
    for (const char* number : {"3", "02", " 2", "2 ", "", "1\" Number=\"2", "<applySetting>"}) {
        std::string edited = "untouched";
        EXPECT_EQ(ApplySetting(kSettings, number, edited), ApplySettingResult::NotAPreset) << number;
        EXPECT_EQ(edited, "untouched");
    }
    for (const std::string& text : {std::string(), std::string("<config><applySetting>1</config>"),
                                    std::string("<?xml version=\"1.0\"?>"), std::string("plain text")}) {
        std::string edited;
        EXPECT_EQ(ApplySetting(text, "1", edited), ApplySettingResult::NoSettings) << text;
    }
    std::string edited;
    EXPECT_EQ(ApplySetting("<config><applySetting>1</applySetting></config>", "1", edited),
              ApplySettingResult::NotAPreset)
        << "no presets at all";
}

// Where the element is not written as a start and an end tag, or is missing, the library
// writes the document out again; what the program then reads is the number asked for.
TEST(ApplySetting, AnElementWrittenOtherwiseOrMissingIsSetThroughTheLibrary) {
    const std::string presets = "<presets><preset Number=\"2\"/></presets>";
    const struct {
        std::string settings;
    } cases[] = {
        {"<config><applySetting/>" + presets + "</config>"},
        {"<config>" + presets + "</config>"},
        {"<config><!-- <applySetting>1</applySetting> --><applySetting>1</applySetting>" + presets + "</config>"},
    };
    for (const auto& c : cases) {
        std::string edited;
        ASSERT_EQ(ApplySetting(c.settings, "2", edited), ApplySettingResult::Applied) << c.settings;
        std::string again;
        EXPECT_EQ(ApplySetting(edited, "2", again), ApplySettingResult::Applied);
        EXPECT_EQ(again, edited) << "reads back as 2: " << edited;
        EXPECT_NE(edited.find("<applySetting>2</applySetting>"), std::string::npos) << edited;
        EXPECT_NE(edited.find("<preset Number=\"2\""), std::string::npos) << edited;
    }
}

}  // namespace

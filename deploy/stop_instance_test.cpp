#include "deploy/stop_instance.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "channels/pipe_server.h"

namespace {

const std::wstring kInstalled = L"C:\\Program Files\\QuarnVelmora\\QuarnVelmora.exe";

// A scripted control pipe with a fake clock: the answers of Connect come from a list (the
// last one repeats), and the owner ends once it has received `exitsAfterMessages` messages
// (never when 0). Each connection is served by the image at the front of `owners` (the last
// one repeats). Time passes only in the waits.
class FakeControl : public InstanceControl {
public:
    std::deque<PipeConnect> connects{PipeConnect::Connected};
    int exitsAfterMessages = 1;
    bool sendFails = false;
    bool canWatchOwner = true;
    std::deque<std::wstring> owners{kInstalled};

    uint64_t now = 1000;
    int connectCalls = 0;
    int disconnects = 0;
    bool connected = false;
    std::vector<std::vector<uint8_t>> messages;
    std::vector<uint64_t> sendTimes;
    std::vector<uint32_t> busyWaits;

    PipeConnect Connect() override {
        ++connectCalls;
        EXPECT_FALSE(connected) << "a connection was left open";
        const PipeConnect answer = OwnerEnded() ? PipeConnect::NoPipe : connects.front();
        if (connects.size() > 1) {
            connects.pop_front();
        }
        connected = answer == PipeConnect::Connected;
        if (connected) {
            owner = owners.front();
            if (owners.size() > 1) {
                owners.pop_front();
            }
        }
        return answer;
    }
    std::wstring OwnerImage() override {
        EXPECT_TRUE(connected);
        return owner;
    }
    bool Send(const std::vector<uint8_t>& message) override {
        EXPECT_TRUE(connected);
        if (sendFails) {
            return false;
        }
        messages.push_back(message);
        sendTimes.push_back(now);
        return true;
    }
    bool WaitForOwnerExit(uint32_t ms) override {
        EXPECT_TRUE(connected);
        if (OwnerEnded() && canWatchOwner) {
            now += 1;
            return true;
        }
        now += ms;
        return false;
    }
    void Disconnect() override {
        connected = false;
        ++disconnects;
    }
    void WaitWhileBusy(uint32_t ms) override {
        busyWaits.push_back(ms);
        now += ms;
    }
    uint64_t NowMs() override { return now; }

private:
    std::wstring owner;
    bool OwnerEnded() const {
        return exitsAfterMessages > 0 && static_cast<int>(messages.size()) >= exitsAfterMessages;
    }
};

TEST(StopRunningInstance, NoPipeIsNothingToStopAndReturnsAtOnce) {
    FakeControl control;
    control.connects = {PipeConnect::NoPipe};
    EXPECT_EQ(StopRunningInstance(control, kInstalled), StopOutcome::NothingToStop);
    EXPECT_EQ(control.connectCalls, 1);
    EXPECT_TRUE(control.messages.empty());
    EXPECT_EQ(control.now, 1000u) << "no wait at all";
}

TEST(StopRunningInstance, SendsExitOnceAndWaitsForTheOwnerToEnd) {
    FakeControl control;
    EXPECT_EQ(StopRunningInstance(control, kInstalled), StopOutcome::Stopped);
    ASSERT_EQ(control.messages.size(), 1u);
    EXPECT_EQ(control.messages[0], ExitMessage());
    EXPECT_EQ(control.disconnects, 1);
    EXPECT_FALSE(control.connected);
}

TEST(StopRunningInstance, ResendsWhenAnInstanceStillStartingDroppedTheMessage) {
    FakeControl control;
    control.exitsAfterMessages = 2;
    StopLimits limits;
    EXPECT_EQ(StopRunningInstance(control, kInstalled, limits), StopOutcome::Stopped);
    ASSERT_EQ(control.sendTimes.size(), 2u);
    EXPECT_EQ(control.sendTimes[1] - control.sendTimes[0], limits.ResendMs);
}

TEST(StopRunningInstance, AnOwnerThatNeverEndsIsReportedWithinTheBound) {
    FakeControl control;
    control.exitsAfterMessages = 0;
    StopLimits limits;
    limits.TotalMs = 12000;
    limits.ResendMs = 5000;
    EXPECT_EQ(StopRunningInstance(control, kInstalled, limits), StopOutcome::StillRunning);
    EXPECT_EQ(control.now - 1000, limits.TotalMs) << "the last wait is cut to what is left";
    EXPECT_EQ(control.messages.size(), 3u) << "at 0, 5 and 10 s";
    EXPECT_EQ(control.disconnects, 3);
}

TEST(StopRunningInstance, WaitsForABusyPipeThenStops) {
    FakeControl control;
    control.connects = {PipeConnect::Busy, PipeConnect::Busy, PipeConnect::Connected};
    StopLimits limits;
    EXPECT_EQ(StopRunningInstance(control, kInstalled, limits), StopOutcome::Stopped);
    EXPECT_EQ(control.busyWaits, (std::vector<uint32_t>{limits.BusyWaitMs, limits.BusyWaitMs}));
    EXPECT_EQ(control.messages.size(), 1u);
}

TEST(StopRunningInstance, APipeBusyForeverEndsAtTheBound) {
    FakeControl control;
    control.connects = {PipeConnect::Busy};
    StopLimits limits;
    limits.TotalMs = 2500;
    limits.BusyWaitMs = 1000;
    EXPECT_EQ(StopRunningInstance(control, kInstalled, limits), StopOutcome::StillRunning);
    EXPECT_EQ(control.busyWaits, (std::vector<uint32_t>{1000, 1000, 500}));
    EXPECT_TRUE(control.messages.empty());
}

TEST(StopRunningInstance, APipeThatCannotBeWrittenIsUnreachable) {
    for (const PipeConnect answer : {PipeConnect::Denied, PipeConnect::Failed}) {
        FakeControl control;
        control.connects = {answer};
        EXPECT_EQ(StopRunningInstance(control, kInstalled), StopOutcome::Unreachable);
        EXPECT_EQ(control.now, 1000u);
        EXPECT_TRUE(control.messages.empty());
    }
}

TEST(StopRunningInstance, WithoutWatchingTheOwnerThePipeGoingAwayMeansStopped) {
    FakeControl control;
    control.canWatchOwner = false;
    StopLimits limits;
    EXPECT_EQ(StopRunningInstance(control, kInstalled, limits), StopOutcome::Stopped);
    EXPECT_EQ(control.messages.size(), 1u);
    EXPECT_EQ(control.connectCalls, 2) << "the second attempt finds no pipe";
    EXPECT_EQ(control.now - 1000, limits.ResendMs);
}

TEST(StopRunningInstance, AFailedWriteIsTriedAgainUntilTheBound) {
    FakeControl control;
    control.sendFails = true;
    StopLimits limits;
    limits.TotalMs = 10000;
    EXPECT_EQ(StopRunningInstance(control, kInstalled, limits), StopOutcome::StillRunning);
    EXPECT_EQ(control.connectCalls, 2);
    EXPECT_EQ(control.now - 1000, limits.TotalMs);
}

// Whatever took the pipe's name first (another user's instance, a copy elsewhere, any other
// program) hears nothing from the stopper.
TEST(StopRunningInstance, APipeServedByAnyOtherImageIsSentNothing) {
    for (const std::wstring& other : {std::wstring(L"C:\\Users\\mallory\\QuarnVelmora.exe"), std::wstring()}) {
        FakeControl control;
        control.owners = {other};
        EXPECT_EQ(StopRunningInstance(control, kInstalled), StopOutcome::ForeignOwner) << "owner of " << other.size() << " characters";
        EXPECT_TRUE(control.messages.empty());
        EXPECT_EQ(control.disconnects, 1);
        EXPECT_EQ(control.now, 1000u) << "no wait";
    }
    FakeControl unknownInstall;
    EXPECT_EQ(StopRunningInstance(unknownInstall, L""), StopOutcome::ForeignOwner);
    EXPECT_TRUE(unknownInstall.messages.empty());
}

// The pipe lives as long as its owner: ours was told and another program serves it now.
TEST(StopRunningInstance, AnotherImageAfterExitWasSentMeansOursEnded) {
    FakeControl control;
    control.exitsAfterMessages = 0;
    control.canWatchOwner = false;
    control.owners = {kInstalled, L"C:\\Temp\\squatter.exe"};
    EXPECT_EQ(StopRunningInstance(control, kInstalled), StopOutcome::Stopped);
    EXPECT_EQ(control.messages.size(), 1u);
}

TEST(IsInstalledImage, ComparesPathsAsWindowsNamesFiles) {
    const struct {
        const wchar_t* owner;
        bool same;
    } cases[] = {
        {L"C:\\Program Files\\QuarnVelmora\\QuarnVelmora.exe", true},
        {L"c:\\PROGRAM FILES\\quarnvelmora\\quarnVelmora.EXE", true},
        {L"C:/Program Files/QuarnVelmora/QuarnVelmora.exe", true},
        {L"\\\\?\\C:\\Program Files\\QuarnVelmora\\QuarnVelmora.exe", true},
        {L"C:\\Program Files\\QuarnVelmora\\QuarnVelmora.ex", false},
        {L"C:\\Program Files\\QuarnVelmora\\QuarnVelmora.exe.old", false},
        {L"D:\\Program Files\\QuarnVelmora\\QuarnVelmora.exe", false},
        {L"C:\\Users\\mallory\\QuarnVelmora\\QuarnVelmora.exe", false},
        {L"QuarnVelmora.exe", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsInstalledImage(c.owner, kInstalled), c.same) << "case " << (&c - cases);
    }
    EXPECT_FALSE(IsInstalledImage(L"", L"")) << "nothing known is nothing matched";
}

TEST(StopExitCode, ZeroOnlyWhenNoInstanceIsLeftRunning) {
    EXPECT_EQ(StopExitCode(StopOutcome::NothingToStop), 0);
    EXPECT_EQ(StopExitCode(StopOutcome::Stopped), 0);
    EXPECT_EQ(StopExitCode(StopOutcome::StillRunning), 1);
    EXPECT_EQ(StopExitCode(StopOutcome::Unreachable), 2);
    EXPECT_EQ(StopExitCode(StopOutcome::ForeignOwner), 3);
}

// The bytes the stopper writes are what the control pipe's own reader takes for "EXIT".
class CountingWindow : public ControlWindow {
public:
    int exits = 0;
    bool Exists() override { return true; }
    void PostExitCommand() override { ++exits; }
};

TEST(ExitMessage, IsReadByThePipeServerAsTheExitCommand) {
    const std::vector<uint8_t> bytes = ExitMessage();
    EXPECT_EQ(bytes.size(), 10u) << "four UTF-16 units and the terminator";
    EXPECT_LE(bytes.size(), PIPE_READ_LIMIT) << "fits in one read";
    const std::wstring text = DecodePipeMessage(bytes.data(), bytes.size());
    EXPECT_EQ(text, L"EXIT");
    CountingWindow window;
    PipeServer::Attach(&window);
    PipeServer::HandleNamedPipeData(text.c_str());
    PipeServer::Attach(nullptr);
    EXPECT_EQ(window.exits, 1);
}

// The sessions to close and to start again: only the installed program's, whatever the
// spelling of its path, each session once.
TEST(SessionInstances, OnlyTheInstalledProgramsSessionsEachOnce) {
    const std::vector<RunningProcess> processes = {
        {100, 3, kInstalled},
        {101, 1, L"\\\\?\\c:/program files/quarnvelmora/QUARNVELMORA.EXE"},
        {102, 3, kInstalled},
        {103, 2, L"C:\\Users\\u\\Downloads\\QuarnVelmora.exe"},  // another copy of the program
        {104, 4, L""},                                                // image not readable
        {105, 5, L"C:\\Windows\\explorer.exe"},
    };
    EXPECT_EQ(SessionsRunning(processes, kInstalled), (std::vector<uint32_t>{1, 3}));
    EXPECT_TRUE(SessionsRunning(processes, L"").empty());
    EXPECT_TRUE(SessionsRunning({}, kInstalled).empty());
}

// The list file between the stopper and the restart: what is written is read back, anything
// else in it is skipped, and neither a repeat nor a long file makes more than one start a
// session or more than the limit in all.
TEST(SessionInstances, TheListFileReadsBackAndSkipsWhatIsNoSession) {
    EXPECT_EQ(FormatSessionList({1, 3}), "1\n3\n");
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
    // A stopper that finds nothing keeps what an earlier one remembered.
    EXPECT_EQ(MergeSessions({5, 1}, {}), (std::vector<uint32_t>{1, 5}));
    EXPECT_EQ(MergeSessions({5, 1}, {1, 2}), (std::vector<uint32_t>{1, 2, 5}));
}

}  // namespace

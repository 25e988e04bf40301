#include "channels/account_watcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <utility>
#include <string>
#include <vector>

#include "common/hresult_error.h"
#include "tests/support/trace_capture.h"

namespace {

// A watcher whose Start reaches `afterStart`, recording what was asked of it.
class FakeWatcher : public AccountWatcherPort {
public:
    int status = ACCOUNT_WATCHER_CREATED;
    int afterStart = ACCOUNT_WATCHER_ENUMERATION_COMPLETED;
    int afterWait = -1;  // the status the enumeration's end brings, if it comes during a wait
    EnumerationEnd event = EnumerationEnd::None;  // the event that ends the wait
    bool failStart = false;
    std::vector<std::string> calls;
    int Status() override { return status; }
    void AttachHandlers() override { calls.push_back("attach"); }
    void Start() override {
        calls.push_back("start");
        if (failStart) {
            throw HresultError(static_cast<int32_t>(0x8000000D), L"");
        }
        status = afterStart;
    }
    void Stop() override {
        calls.push_back("stop");
        status = ACCOUNT_WATCHER_STOPPED;
    }
    EnumerationEnd WaitForEnumerationEnd(uint32_t timeoutMs) override {
        calls.push_back("wait " + std::to_string(timeoutMs));
        if (afterWait >= 0) {
            status = afterWait;
        }
        return event;
    }
    void Recreate() override {
        calls.push_back("recreate");
        status = ACCOUNT_WATCHER_CREATED;
    }
};

TEST(AccountWatcherStart, AttachesOnceStartsAndReportsTheStatus) {
    TraceCapture trace;
    FakeWatcher watcher;
    EXPECT_EQ(HandleMobileBroadbandAccountWatcher(watcher, ACCOUNT_WATCHER_TARGET_START), 2);
    EXPECT_EQ(watcher.calls, (std::vector<std::string>{"attach", "start"}));
    EXPECT_EQ(trace.Texts(), (std::vector<std::string>{
                                 "[INFO] HandleMobileBroadbandAccountWatcher : AccountWatcher current status: 0, target status: 1\n",
                                 "[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher to Start\n",
                                 "[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher is started.\n",
                             }));
    // Already running: no second set of handlers.
    for (int running : {ACCOUNT_WATCHER_STARTED, ACCOUNT_WATCHER_ENUMERATION_COMPLETED}) {
        watcher.calls.clear();
        watcher.status = running;
        EXPECT_EQ(HandleMobileBroadbandAccountWatcher(watcher, ACCOUNT_WATCHER_TARGET_START), running);
        EXPECT_TRUE(watcher.calls.empty());
    }
    EXPECT_TRUE(trace.Contains("[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher already started.\n"));
}

TEST(AccountWatcherStart, AnEnumerationThatDoesNotCompleteShowsInTheResult) {
    FakeWatcher watcher;
    watcher.afterStart = ACCOUNT_WATCHER_STARTED;
    EXPECT_EQ(HandleMobileBroadbandAccountWatcher(watcher, ACCOUNT_WATCHER_TARGET_START), 1);

    TraceCapture trace;
    FakeWatcher failing;
    failing.failStart = true;
    EXPECT_EQ(HandleMobileBroadbandAccountWatcher(failing, ACCOUNT_WATCHER_TARGET_START), 0);
    EXPECT_TRUE(trace.Contains("[ERROR] HandleMobileBroadbandAccountWatcher : HandleMobileBroadbandAccountWatcher: Catch unknown exception.\n"));
}

// Start need not wait for the enumeration: start-up then waits, and decides on the event that
// ended the wait as well as on the status read after it, which may not have changed yet.
TEST(AccountWatcherStartUp, GoesOnOnceTheEnumerationCompletedAndEndsOtherwise) {
    constexpr EnumerationEnd kNone = EnumerationEnd::None;
    constexpr EnumerationEnd kCompleted = EnumerationEnd::Completed;
    constexpr EnumerationEnd kStopped = EnumerationEnd::Stopped;
    struct Case {
        int afterStart;
        int afterWait;
        EnumerationEnd event;
        bool goesOn;
        std::vector<std::string> calls;
        const char* line;
    };
    const char* const kGoesOn = "[INFO] wWinMain : wWinMain: Start monitor MobileBroadbandAccountWatcher...Result: 2\n";
    const Case cases[] = {
        {2, -1, kNone, true, {"attach", "start"}, kGoesOn},
        {1, 2, kCompleted, true, {"attach", "start", "wait 700"}, kGoesOn},
        {1, -1, kCompleted, true, {"attach", "start", "wait 700"}, kGoesOn},
        {1, 2, kNone, true, {"attach", "start", "wait 700"}, kGoesOn},
        {1, -1, kNone, false, {"attach", "start", "wait 700"}, "[ERROR] wWinMain : wWinMain: FATAL ERROR watcherResult 1, exit APP!\n"},
        {1, 4, kStopped, false, {"attach", "start", "wait 700"}, "[ERROR] wWinMain : wWinMain: FATAL ERROR watcherResult 4, exit APP!\n"},
        {1, -1, kStopped, false, {"attach", "start", "wait 700"}, "[ERROR] wWinMain : wWinMain: FATAL ERROR watcherResult 4, exit APP!\n"},
        {4, -1, kNone, false, {"attach", "start"}, "[ERROR] wWinMain : wWinMain: FATAL ERROR watcherResult 4, exit APP!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.afterStart << " " << c.afterWait << " " << static_cast<int>(c.event));
        TraceCapture trace;
        FakeWatcher watcher;
        watcher.afterStart = c.afterStart;
        watcher.afterWait = c.afterWait;
        watcher.event = c.event;
        EXPECT_EQ(StartAccountWatcherAtStartUp(watcher, 700), c.goesOn);
        EXPECT_EQ(watcher.calls, c.calls);
        EXPECT_EQ(trace.Texts().back(), c.line);
    }
}

TEST(AccountWatcherStop, StopsOnlyARunningWatcher) {
    TraceCapture trace;
    for (int status : {ACCOUNT_WATCHER_CREATED, ACCOUNT_WATCHER_STOPPED, ACCOUNT_WATCHER_ABORTED}) {
        FakeWatcher watcher;
        watcher.status = status;
        EXPECT_EQ(HandleMobileBroadbandAccountWatcher(watcher, ACCOUNT_WATCHER_TARGET_STOP), status);
        EXPECT_TRUE(watcher.calls.empty());
    }
    EXPECT_TRUE(trace.Contains("[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher already stopped.\n"));
    FakeWatcher running;
    running.status = ACCOUNT_WATCHER_ENUMERATION_COMPLETED;
    EXPECT_EQ(HandleMobileBroadbandAccountWatcher(running, ACCOUNT_WATCHER_TARGET_STOP), 3);
    EXPECT_EQ(running.calls, std::vector<std::string>{"stop"});
    EXPECT_TRUE(trace.Contains("[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher is stopped.\n"));
    FakeWatcher other;
    EXPECT_EQ(HandleMobileBroadbandAccountWatcher(other, 7), 0);
    EXPECT_TRUE(other.calls.empty());
}

class CountingRequests : public SimStatusRequests {
public:
    int triggers = 0;
    void TriggerUpdateSystemTrayIconStatus() override { ++triggers; }
    void PowerOnSimOn4GPlatform() override {}
};

class ScriptedArgs : public AccountUpdatedEventArgs {
public:
    std::wstring id = L"account-4g";
    bool network = false;
    bool device = false;
    bool fail = false;
    std::wstring NetworkAccountId() override {
        if (fail) {
            throw std::runtime_error("arguments gone");
        }
        return id;
    }
    bool HasNetworkChanged() override { return network; }
    bool HasDeviceInformationChanged() override { return device; }
};

class AccountHandlersTest : public ::testing::Test {
protected:
    void SetUp() override { AttachAccountWatcherRequests(&requests); }
    void TearDown() override { AttachAccountWatcherRequests(nullptr); }
    CountingRequests requests;
    ScriptedArgs args;
    TraceCapture trace;
};

TEST_F(AccountHandlersTest, AddedAndRemovedAccountsAskForADecision) {
    AccountAddedHandler(args);
    AccountRemovedHandler(args);
    EXPECT_EQ(requests.triggers, 2);
    EXPECT_TRUE(trace.Contains("[INFO] AccountAddedHandler : AccountAddedHandler: NetworkAccountId: account-4g\n"));
    EXPECT_TRUE(trace.Contains("[INFO] AccountRemovedHandler : AccountRemovedHandler: NetworkAccountId: account-4g\n"));
}

TEST_F(AccountHandlersTest, AnUpdateAsksOnlyWhenTheDeviceInformationChanged) {
    args.network = true;
    AccountUpdatedHandler(args);
    EXPECT_EQ(requests.triggers, 0) << "a network change alone triggers nothing";
    EXPECT_TRUE(trace.Contains("[INFO] AccountUpdatedHandler : AccountUpdatedHandler: NetworkAccountId: account-4g, "
                               "HasNetworkChanged: 1, HasDeviceInformationChanged: 0\n"));
    args.device = true;
    AccountUpdatedHandler(args);
    EXPECT_EQ(requests.triggers, 1);
}

TEST_F(AccountHandlersTest, UnreadableArgumentsStopAllButTheRemoval) {
    args.fail = true;
    args.device = true;
    AccountAddedHandler(args);
    AccountUpdatedHandler(args);
    EXPECT_EQ(requests.triggers, 0);
    AccountRemovedHandler(args);
    EXPECT_EQ(requests.triggers, 1) << "a removal still asks for a decision";
    EXPECT_TRUE(trace.Contains("[ERROR] AccountAddedHandler : Catch exception: arguments gone\n"));
    EXPECT_TRUE(trace.Contains("[ERROR] AccountUpdatedHandler : Catch exception: arguments gone\n"));
    EXPECT_TRUE(trace.Contains("[ERROR] AccountRemovedHandler : AccountRemovedHandler: Catch exception: arguments gone\n"));
    EnumerationCompletedHandler();
    AccountWatcherStoppedHandler();
    EXPECT_TRUE(trace.Contains("[INFO] EnumerationCompletedHandler : EnumerationCompletedHandler\n"));
    EXPECT_TRUE(trace.Contains("[INFO] AccountWatcherStoppedHandler : AccountWatcherStoppedHandler\n"));
}

// The pauses between restarts, as the recovery takes them: recorded, never slept.
class RecordedPauses : public RestartPause {
public:
    std::vector<uint32_t> pauses;
    bool ending = false;
    std::function<void()> during;  // what happens during the next pause
    bool PauseMs(uint32_t milliseconds) override {
        pauses.push_back(milliseconds);
        if (during) {
            std::exchange(during, nullptr)();
        }
        return !ending;
    }
    void EndPauses() override { ending = true; }
};

// A watcher whose service is down for its first `downStarts` starts: they end Aborted.
class RestartingWatcher : public FakeWatcher {
public:
    int downStarts = 0;
    void Start() override {
        FakeWatcher::Start();
        if (downStarts > 0) {
            --downStarts;
            status = ACCOUNT_WATCHER_ABORTED;
        }
    }
};

class ScriptedReconnect : public ServiceReconnect {
public:
    int failures = 0;
    int calls = 0;
    std::function<void()> during;
    bool ReconnectAfterServiceRestart() override {
        ++calls;
        if (during) {
            std::exchange(during, nullptr)();
        }
        return failures-- <= 0;
    }
};

class AccountWatcherRecoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        AttachAccountWatcherRequests(&requests);
        AttachAccountWatcherRecovery(&recovery);
        recovery.Arm();
    }
    void TearDown() override {
        AttachAccountWatcherRecovery(nullptr);
        AttachAccountWatcherRequests(nullptr);
    }
    int Restarts() const { return static_cast<int>(std::count(watcher.calls.begin(), watcher.calls.end(), "recreate")); }
    CountingRequests requests;
    RestartingWatcher watcher;
    RecordedPauses pause;
    ScriptedReconnect reconnect;
    AccountWatcherRecovery recovery{watcher, pause, reconnect};
    TraceCapture trace;
};

TEST(AccountWatcherRestartBackOff, DoublesFromOneSecondUpToAMinute) {
    const std::vector<uint32_t> expected = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (uint32_t restart = 0; restart < expected.size(); ++restart) {
        EXPECT_EQ(RestartBackOffMs(restart), expected[restart]) << restart;
    }
    EXPECT_EQ(RestartBackOffMs(31), 60000u);
    EXPECT_EQ(RestartBackOffMs(4000000000u), 60000u);
}

// The service is down for two starts, then the wrapper needs one more try: each restart
// waits longer, the start's own lines come with each, and once all is back one decision
// is asked for.
TEST_F(AccountWatcherRecoveryTest, RestartsWithGrowingPausesUntilTheServiceIsBackThenAsksForADecision) {
    watcher.status = ACCOUNT_WATCHER_ABORTED;
    watcher.downStarts = 2;
    reconnect.failures = 1;
    AccountWatcherStoppedHandler();
    ASSERT_TRUE(recovery.RecoverOnce());
    EXPECT_EQ(pause.pauses, (std::vector<uint32_t>{1000, 2000, 4000, 8000}));
    EXPECT_EQ(Restarts(), 3);
    EXPECT_EQ(reconnect.calls, 2);
    EXPECT_EQ(requests.triggers, 1);
    EXPECT_EQ(watcher.Status(), ACCOUNT_WATCHER_ENUMERATION_COMPLETED);
    EXPECT_TRUE(trace.Contains("[INFO] AccountWatcherStoppedHandler : AccountWatcherStoppedHandler\n"));
    EXPECT_TRUE(trace.Contains("[WARNING] AccountWatcherRecovery::RecoverOnce : AccountWatcherRecovery::RecoverOnce: "
                               "the watcher ended on its own, restart 4 in 8000 ms\n"));
    EXPECT_TRUE(trace.Contains("[WARNING] AccountWatcherRecovery::RecoverOnce : AccountWatcherRecovery::RecoverOnce: "
                               "restart 2 failed, watcher status 4\n"));
    EXPECT_TRUE(trace.Contains("[INFO] AccountWatcherRecovery::RecoverOnce : AccountWatcherRecovery::RecoverOnce: "
                               "restart 4 done\n"));
    EXPECT_TRUE(trace.Contains("[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher to Start\n"));

    // The next stop starts again from the shortest pause.
    pause.pauses.clear();
    AccountWatcherStoppedHandler();
    ASSERT_TRUE(recovery.RecoverOnce());
    EXPECT_EQ(pause.pauses, std::vector<uint32_t>{1000});
    EXPECT_EQ(requests.triggers, 2);
}

// A second restart of the service during the first one's back-off takes the watcher that
// was just started again: it is made anew, and the pauses keep growing.
TEST_F(AccountWatcherRecoveryTest, ASecondStopDuringTheBackOffMakesTheWatcherAgain) {
    reconnect.failures = 1;
    reconnect.during = [this] {
        watcher.status = ACCOUNT_WATCHER_ABORTED;
        AccountWatcherStoppedHandler();
    };
    AccountWatcherStoppedHandler();
    ASSERT_TRUE(recovery.RecoverOnce());
    EXPECT_EQ(pause.pauses, (std::vector<uint32_t>{1000, 2000}));
    EXPECT_EQ(Restarts(), 2);
    EXPECT_EQ(requests.triggers, 1);
}

// Start-up's own gate judges a stop before it passed; the program's own Stop at exit is no
// reason to restart; an exit during a pause gives the restart up.
TEST_F(AccountWatcherRecoveryTest, RestartsNothingBeforeTheGateNorAtExit) {
    FakeWatcher early;
    RecordedPauses earlyPause;
    AccountWatcherRecovery unarmed(early, earlyPause, reconnect);
    unarmed.OnStopped();
    unarmed.EndForExit();
    EXPECT_FALSE(unarmed.RecoverOnce());
    EXPECT_TRUE(early.calls.empty());

    AccountWatcherStoppedHandler();
    pause.during = [this] { pause.EndPauses(); };  // the exit cuts the pause short
    EXPECT_FALSE(recovery.RecoverOnce());
    EXPECT_EQ(Restarts(), 0);
    recovery.EndForExit();
    AccountWatcherStoppedHandler();
    EXPECT_FALSE(recovery.RecoverOnce());
    EXPECT_EQ(Restarts(), 0);
    EXPECT_EQ(requests.triggers, 0);
}

}  // namespace

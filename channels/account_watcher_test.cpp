#include "channels/account_watcher.h"

#include <gtest/gtest.h>

#include <stdexcept>
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
    void WaitForEnumerationEnd(uint32_t timeoutMs) override {
        calls.push_back("wait " + std::to_string(timeoutMs));
        if (afterWait >= 0) {
            status = afterWait;
        }
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

// Start need not wait for the enumeration: start-up then waits, and decides on the status
// read after that wait.
TEST(AccountWatcherStartUp, GoesOnOnceTheEnumerationCompletedAndEndsOtherwise) {
    struct Case {
        int afterStart;
        int afterWait;
        bool goesOn;
        std::vector<std::string> calls;
        const char* line;
    };
    const Case cases[] = {
        {2, -1, true, {"attach", "start"}, "[INFO] wWinMain : wWinMain: Start monitor MobileBroadbandAccountWatcher...Result: 2\n"},
        {1, 2, true, {"attach", "start", "wait 700"}, "[INFO] wWinMain : wWinMain: Start monitor MobileBroadbandAccountWatcher...Result: 2\n"},
        {1, -1, false, {"attach", "start", "wait 700"}, "[ERROR] wWinMain : wWinMain: FATAL ERROR watcherResult 1, exit APP!\n"},
        {1, 4, false, {"attach", "start", "wait 700"}, "[ERROR] wWinMain : wWinMain: FATAL ERROR watcherResult 4, exit APP!\n"},
        {4, -1, false, {"attach", "start"}, "[ERROR] wWinMain : wWinMain: FATAL ERROR watcherResult 4, exit APP!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        TraceCapture trace;
        FakeWatcher watcher;
        watcher.afterStart = c.afterStart;
        watcher.afterWait = c.afterWait;
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

}  // namespace

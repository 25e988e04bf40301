// The account watcher's Windows adapter against the emulator's Runtime classes: the start
// with its enumeration, events through the five handlers, the stop, and the references.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "channels/account_watcher.h"
#include "channels/win/account_watcher_win.h"
#include "emulator/win/emu_channel.h"
#include "tests/support/trace_capture.h"
#include "tests/support/win/emulator_process.h"
#include "tests/support/win/eventually.h"
#include "tests/support/win/facade_objects.h"

namespace {

class CountingRequests : public SimStatusRequests {
public:
    std::atomic<int> triggers{0};
    void TriggerUpdateSystemTrayIconStatus() override { ++triggers; }
    void PowerOnSimOn4GPlatform() override {}
};

class AccountWatcherWineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_TRUE(s_Emulator.Start());
        AttachAccountWatcherRequests(&s_Requests);
    }
    static void TearDownTestSuite() {
        AttachAccountWatcherRequests(nullptr);
        s_Emulator.Stop();
    }
    void SetUp() override { ASSERT_EQ(EmuRequest("reset"), "ok"); }

    static CountingRequests s_Requests;
    static EmulatorProcess s_Emulator;
};
CountingRequests AccountWatcherWineTest::s_Requests;
EmulatorProcess AccountWatcherWineTest::s_Emulator;

// A process the modem's service will not serve: the class's activation answers
// E_ACCESSDENIED. Start-up must then end orderly through its fatal branch (a start that
// reports no completed enumeration), not through an exception, and the trace names the code.
TEST_F(AccountWatcherWineTest, AWatcherTheSystemRefusesReportsAbortedAndLogsTheCode) {
    ASSERT_EQ(EmuRequest("modem 4g"), "ok");
    ASSERT_EQ(EmuRequest("fault denied watcher"), "ok");
    TraceCapture trace;
    std::unique_ptr<WinRtAccountWatcher> watcher;
    ASSERT_NO_THROW(watcher = std::make_unique<WinRtAccountWatcher>());
    EXPECT_EQ(HandleMobileBroadbandAccountWatcher(*watcher, ACCOUNT_WATCHER_TARGET_START), ACCOUNT_WATCHER_ABORTED);
    EXPECT_EQ(HandleMobileBroadbandAccountWatcher(*watcher, ACCOUNT_WATCHER_TARGET_STOP), ACCOUNT_WATCHER_ABORTED);
    EXPECT_TRUE(trace.Contains("[ERROR] WinRtAccountWatcher::WinRtAccountWatcher : activation failed: 0x80070005\n"));
    EXPECT_TRUE(trace.Contains("[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher already stopped.\n"));
    EXPECT_EQ(EmuRequest("journal").find("watcher start"), std::string::npos);
}

TEST_F(AccountWatcherWineTest, AStartAndStopDeliverEventsAndLeaveNoReferenceBehind) {
    ASSERT_EQ(EmuRequest("modem 4g"), "ok");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        auto watcher = std::make_unique<WinRtAccountWatcher>();
        s_Requests.triggers = 0;
        EXPECT_EQ(HandleMobileBroadbandAccountWatcher(*watcher, ACCOUNT_WATCHER_TARGET_START),
                  ACCOUNT_WATCHER_ENUMERATION_COMPLETED);
        EXPECT_TRUE(Eventually([] { return s_Requests.triggers >= 1; })) << "the enumerated account asks for a decision";
        const int before = s_Requests.triggers;
        ASSERT_EQ(EmuRequest("event updated account-4g device"), "ok");
        EXPECT_TRUE(Eventually([before] { return s_Requests.triggers > before; }));
        EXPECT_EQ(HandleMobileBroadbandAccountWatcher(*watcher, ACCOUNT_WATCHER_TARGET_STOP), ACCOUNT_WATCHER_STOPPED);
        watcher.reset();
        EXPECT_TRUE(Eventually([] { return FacadeObjects(RUNTIME_FACADE_DLL) == 0; }))
            << FacadeObjects(RUNTIME_FACADE_DLL) << " objects alive";
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/condition_check.h"
#include "monitor/device_monitor.h"
#include "monitor/power_status.h"
#include "tests/support/sim_status_fakes.h"
#include "tests/support/trace_capture.h"

namespace {

constexpr uint32_t kHide = 1026;
constexpr uint32_t kShow = 1027;

void SetPresence(bool present4G, bool present5G) {
    DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState = present4G ? 1 : 0;
    DeviceMonitor::Slot(DEVICE_SLOT_5G).DeviceState = present5G ? 1 : 0;
}

class DecisionTest : public ::testing::Test {
protected:
    void SetUp() override { SetPresence(true, false); }
    void TearDown() override { SetPresence(false, false); }
    ConditionCheck Make(SimStatusEvent* event = nullptr) {
        return ConditionCheck(std::unique_ptr<SimStatusEvent>(event), {&modem, &slots, &sleeper, &window, &apartment});
    }
    FakeModemStatus modem;
    FakeSlotQuery slots;
    RecordingSleeper sleeper;
    RecordingWindow window;
    SameApartment apartment;
    TraceCapture trace;
};

struct StatusCase {
    int32_t status;
    bool simBearing;
};

class StatusTableTest : public DecisionTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusTableTest, OnlySimBearingStatusesAskForTheSlot) {
    modem.status = GetParam().status;
    ConditionCheck check = Make();
    EXPECT_EQ(check.UpdateSystemTrayIconStatus(), GetParam().simBearing ? TRAY_ICON_SHOW : TRAY_ICON_HIDE);
    EXPECT_EQ(slots.calls, GetParam().simBearing ? 1 : 0);
    EXPECT_TRUE(trace.Contains("[INFO] ConditionCheck::UpdateSystemTrayIconStatus : SimStatus: " +
                               std::to_string(GetParam().status) + ", platform: 1\n"));
    EXPECT_EQ(trace.Texts().front(), "[WARNING] ConditionCheck::UpdateSystemTrayIconStatus : 0/3\n");
}

INSTANTIATE_TEST_SUITE_P(EveryNetworkDeviceStatus, StatusTableTest,
                         ::testing::Values(StatusCase{0, false}, StatusCase{1, true}, StatusCase{2, false},
                                           StatusCase{3, true}, StatusCase{4, true}, StatusCase{5, false},
                                           StatusCase{6, true}, StatusCase{7, true}, StatusCase{8, false},
                                           StatusCase{-1, false}));

TEST_F(DecisionTest, SlotTwoHides) {
    slots.answers = {{QUARN_S_OK, 2}};
    EXPECT_EQ(Make().UpdateSystemTrayIconStatus(), TRAY_ICON_HIDE);
}

TEST_F(DecisionTest, FourFailedSlotQueriesHideAfterFourPauses) {
    slots.answers = {{QUARN_E_FAIL, 0}};
    EXPECT_EQ(Make().UpdateSystemTrayIconStatus(), TRAY_ICON_HIDE);
    EXPECT_EQ(slots.calls, 4);
    EXPECT_EQ(sleeper.Sleeps(), (std::vector<uint32_t>{1000, 1000, 1000, 1000}));
    for (int count = 1; count <= 4; ++count) {
        EXPECT_TRUE(trace.Contains("[WARNING] ConditionCheck::IsSimSlotOne : GetSimSlot FAILED! retry " +
                                   std::to_string(count) + "/3\n"));
    }
    slots.answers = {{QUARN_E_FAIL, 0}, {QUARN_E_FAIL, 0}, {QUARN_S_OK, 1}};
    slots.calls = 0;
    EXPECT_EQ(Make().UpdateSystemTrayIconStatus(), TRAY_ICON_SHOW);
    EXPECT_EQ(slots.calls, 3);
}

TEST_F(DecisionTest, ThreeFailedAttemptsHide) {
    struct Case {
        FakeModemStatus::Failure failure;
        bool present;
        const char* line;
    } cases[] = {
        {FakeModemStatus::Failure::NoModem, true, "[ERROR] ConditionCheck::UpdateSystemTrayIconStatus : Catch runtime_error: No modem object\n"},
        {FakeModemStatus::Failure::None, false, "[ERROR] ConditionCheck::UpdateSystemTrayIconStatus : Catch runtime_error: platform is invalid\n"},
        {FakeModemStatus::Failure::Hresult, true, "[ERROR] ConditionCheck::UpdateSystemTrayIconStatus : Catch unknown exception\n"},
    };
    for (const Case& c : cases) {
        TraceCapture local;
        RecordingSleeper pauses;
        modem.failure = c.failure;
        modem.failures = 3;
        SetPresence(c.present, false);
        ConditionCheck check(nullptr, {&modem, &slots, &pauses, &window, &apartment});
        EXPECT_EQ(check.UpdateSystemTrayIconStatus(), TRAY_ICON_HIDE) << c.line;
        EXPECT_EQ(pauses.Sleeps(), (std::vector<uint32_t>{1000, 1000, 1000})) << c.line;
        int lines = 0;
        for (const std::string& text : local.Texts()) {
            lines += text == c.line;
        }
        EXPECT_EQ(lines, 3) << c.line;
        EXPECT_TRUE(local.Contains("[WARNING] ConditionCheck::UpdateSystemTrayIconStatus : 2/3\n"));
    }
    // A failure that passes: the second attempt decides.
    SetPresence(true, false);
    modem.failure = FakeModemStatus::Failure::NoModem;
    modem.failures = 1;
    EXPECT_EQ(Make().UpdateSystemTrayIconStatus(), TRAY_ICON_SHOW);
}

TEST_F(DecisionTest, APassSettlesDecidesResetsAndTellsTheWindow) {
    auto* event = new AutoResetEvent();
    ConditionCheck check = Make(event);
    check.TriggerUpdateSystemTrayIconStatus();
    check.HandleUpdateSimStatusEventOnce();
    EXPECT_EQ(window.Messages(), std::vector<uint32_t>{kShow});
    EXPECT_EQ(sleeper.Sleeps(), std::vector<uint32_t>{500});
    EXPECT_EQ(trace.Texts(), (std::vector<std::string>{
                                 "[INFO] ConditionCheck::TriggerUpdateSystemTrayIconStatus : Set event: m_Event_SimStatus\n",
                                 "[INFO] ConditionCheck::HandleUpdateSimStatusEvent : Waiting event: m_Event_SimStatus\n",
                                 "[INFO] ConditionCheck::HandleUpdateSimStatusEvent : Received event: m_Event_SimStatus\n",
                                 "[INFO] ConditionCheck::HandleUpdateSimStatusEvent : Waiting all end\n",
                                 "[WARNING] ConditionCheck::UpdateSystemTrayIconStatus : 0/3\n",
                                 "[ERROR] DeviceMonitor::GetCurrentModulePlatform : DeviceMonitor::GetCurrentModulePlatform: platform 1\n",
                                 "[INFO] ConditionCheck::UpdateSystemTrayIconStatus : SimStatus: 1, platform: 1\n",
                                 "[INFO] ConditionCheck::ResetEventSimStatus : Reset event: m_Event_SimStatus\n",
                                 "[INFO] ConditionCheck::HandleUpdateSimStatusEvent : SendMessage: 1027\n",
                             }));

    modem.status = 2;  // SimNotInserted
    check.TriggerUpdateSystemTrayIconStatus();
    check.HandleUpdateSimStatusEventOnce();
    EXPECT_EQ(window.Messages(), (std::vector<uint32_t>{kShow, kHide}));
    EXPECT_EQ(slots.calls, 1) << "no slot query without a SIM";
}

// While suspended no decision is made; the requests refused then, and the one a skipped
// pass took, are answered by one decision once the machine resumes.
TEST_F(DecisionTest, WhileSuspendedRequestsAreRefusedAndAPendingOneIsSkippedUntilTheResume) {
    auto* event = new AutoResetEvent();
    ConditionCheck check = Make(event);
    check.TriggerUpdateSystemTrayIconStatus();  // pending when the suspend comes
    m_DevicePowerStatus = SUSPENDED;
    check.TriggerUpdateSystemTrayIconStatus();
    check.HandleUpdateSimStatusEventOnce();
    EXPECT_TRUE(window.Messages().empty());
    EXPECT_EQ(modem.reads, 0);
    EXPECT_FALSE(event->IsSignalled());
    EXPECT_TRUE(trace.Contains("[ERROR] ConditionCheck::TriggerUpdateSystemTrayIconStatus : ConditionCheck::TriggerUpdateSystemTrayIconStatus: "
                               "m_DevicePowerStatus is SUSPENDED!\n"));
    EXPECT_TRUE(trace.Contains("[INFO] ConditionCheck::HandleUpdateSimStatusEvent : Skip this time UpdateSystemTrayIconStatus as "
                               "m_DevicePowerStatus is not RESUMED!\n"));

    m_DevicePowerStatus = RESUMED;
    check.ReleaseHeldRequest();
    ASSERT_TRUE(event->IsSignalled()) << "the held request was dropped";
    check.HandleUpdateSimStatusEventOnce();
    EXPECT_EQ(window.Messages(), std::vector<uint32_t>{kShow});
    check.ReleaseHeldRequest();
    EXPECT_FALSE(event->IsSignalled()) << "a request is released once";
}

// The worker's machine over every state and event; K is a run of kept passes under way.
TEST(SimStatusWorkerMachine, EveryStateAndEvent) {
    using S = SimStatusWorkerState;
    using E = SimStatusWorkerEvent;
    using A = SimStatusWorkerAction;
    constexpr int K = 1;
    constexpr int Bound = SIM_STATUS_KEPT_PASSES;
    struct Row {
        S state;
        int kept;
        E event;
        S next;
        int nextKept;
        A action;
    } rows[] = {
        {S::Waiting, K, E::Requested, S::Waiting, K, A::None},
        {S::Held, K, E::Requested, S::Waiting, K, A::None},  // the event set now answers it
        {S::Deciding, K, E::Requested, S::DecidingAsked, K, A::None},
        {S::DecidingAsked, K, E::Requested, S::DecidingAsked, K, A::None},
        {S::Waiting, K, E::RequestedWhileSuspended, S::Held, K, A::None},
        {S::Held, K, E::RequestedWhileSuspended, S::Held, K, A::None},
        {S::Deciding, K, E::RequestedWhileSuspended, S::DecidingAsked, K, A::None},
        {S::DecidingAsked, K, E::RequestedWhileSuspended, S::DecidingAsked, K, A::None},
        {S::Waiting, K, E::PassSkipped, S::Held, K, A::None},
        {S::Held, K, E::PassSkipped, S::Held, K, A::None},
        {S::Deciding, K, E::PassSkipped, S::Deciding, K, A::None},
        {S::DecidingAsked, K, E::PassSkipped, S::DecidingAsked, K, A::None},
        {S::Waiting, K, E::Resumed, S::Waiting, K, A::None},
        {S::Held, K, E::Resumed, S::Waiting, K, A::AskAgain},
        {S::Deciding, K, E::Resumed, S::Deciding, K, A::None},
        {S::DecidingAsked, K, E::Resumed, S::DecidingAsked, K, A::None},
        {S::Waiting, K, E::DecisionBegan, S::Deciding, K, A::None},
        {S::Held, K, E::DecisionBegan, S::Deciding, K, A::None},
        {S::Deciding, K, E::DecisionBegan, S::Deciding, K, A::None},
        {S::DecidingAsked, K, E::DecisionBegan, S::DecidingAsked, K, A::None},
        {S::Waiting, K, E::DecisionEnded, S::Waiting, K, A::None},
        {S::Held, K, E::DecisionEnded, S::Held, K, A::None},
        {S::Deciding, K, E::DecisionEnded, S::Waiting, 0, A::None},  // the run ends
        {S::DecidingAsked, 0, E::DecisionEnded, S::Waiting, 1, A::AskAgain},
        {S::DecidingAsked, Bound - 1, E::DecisionEnded, S::Waiting, Bound, A::AskAgain},
        {S::DecidingAsked, Bound, E::DecisionEnded, S::Waiting, 0, A::GiveUp},
    };
    for (const Row& row : rows) {
        const SimStatusWorkerStep step = NextSimStatusWorkerStep(row.state, row.kept, row.event);
        SCOPED_TRACE(testing::Message() << "state " << static_cast<int>(row.state) << ", kept " << row.kept
                                        << ", event " << static_cast<int>(row.event));
        EXPECT_EQ(step.State, row.next);
        EXPECT_EQ(step.KeptPasses, row.nextKept);
        EXPECT_EQ(step.Action, row.action);
    }
}

TEST_F(DecisionTest, WithoutItsEventTheWorkerPausesTenSecondsAndRequestsSayWhy) {
    ConditionCheck check = Make(nullptr);
    check.HandleUpdateSimStatusEventOnce();
    EXPECT_EQ(sleeper.Sleeps(), std::vector<uint32_t>{10000});
    EXPECT_TRUE(window.Messages().empty());
    check.ResetEventSimStatus();
    EXPECT_TRUE(trace.Contains("[ERROR] ConditionCheck::ResetEventSimStatus : ConditionCheck::ResetEventSimStatus: m_Event_SimStatus is null!\n"));
    check.TriggerUpdateSystemTrayIconStatus();
    EXPECT_TRUE(trace.Contains("[ERROR] ConditionCheck::TriggerUpdateSystemTrayIconStatus : ConditionCheck::TriggerUpdateSystemTrayIconStatus: "
                               "m_Event_SimStatus is null!\n"));
}

}  // namespace

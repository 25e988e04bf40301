// The SIM status worker on a thread of its own, with requests from other threads, stepped
// through its pauses and modem reads by gates: run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "monitor/condition_check.h"
#include "monitor/device_monitor.h"
#include "monitor/power_status.h"
#include "tests/support/sim_status_fakes.h"
#include "tests/support/trace_capture.h"

namespace {

// The event sources' side of the worker, as the power callback reaches it.
class ForwardingRequests : public SimStatusRequests {
public:
    explicit ForwardingRequests(ConditionCheck* check) : m_Check(check) {}
    void TriggerUpdateSystemTrayIconStatus() override { m_Check->TriggerUpdateSystemTrayIconStatus(); }
    void PowerOnSimOn4GPlatform() override {}
    void ReleaseHeldRequest() override { m_Check->ReleaseHeldRequest(); }

private:
    ConditionCheck* m_Check;
};

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState = 1;
        check = std::make_unique<ConditionCheck>(std::unique_ptr<SimStatusEvent>(event),
                                                 SimStatusPorts{&modem, &slots, &sleeper, &window, &apartment});
        worker = std::thread([this] {
            while (!stop) {
                check->HandleUpdateSimStatusEventOnce();
            }
        });
    }
    void TearDown() override {
        // The worker makes one last pass to see the stop; everything it touches is ours.
        stop = true;
        sleeper.gate.Open();
        modem.gate.Open();
        event->Set();
        worker.join();
        DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState = 0;
        DeviceMonitor::Attach(nullptr, nullptr);
        m_DevicePowerStatus = RESUMED;
    }
    // Requests from threads of their own, as the system's callbacks make them.
    void TriggerFromThreads(int count) {
        std::vector<std::thread> requesters;
        for (int i = 0; i < count; ++i) {
            requesters.emplace_back([this] { check->TriggerUpdateSystemTrayIconStatus(); });
        }
        for (auto& requester : requesters) {
            requester.join();
        }
    }

    int SetEventLines() const {
        int count = 0;
        for (const std::string& line : trace.Texts()) {
            count += line == "[INFO] ConditionCheck::TriggerUpdateSystemTrayIconStatus : Set event: m_Event_SimStatus\n";
        }
        return count;
    }

    TraceCapture trace;
    AutoResetEvent* event = new AutoResetEvent();
    FakeModemStatus modem;
    FakeSlotQuery slots;
    RecordingSleeper sleeper;
    RecordingWindow window;
    SameApartment apartment;
    std::unique_ptr<ConditionCheck> check;
    std::atomic<bool> stop{false};
    std::atomic<bool> once{false};
    std::thread worker;
};

TEST_F(WorkerTest, ABurstWithinTheSettlePauseGivesOnePass) {
    sleeper.gate.Close();
    TriggerFromThreads(1);
    ASSERT_TRUE(sleeper.gate.AwaitArrivals(1)) << "the worker never began its settle pause";
    TriggerFromThreads(2);
    sleeper.gate.Open();
    ASSERT_TRUE(event->AwaitIdle(2)) << "the worker never came back to wait";
    EXPECT_EQ(window.Messages(), std::vector<uint32_t>{1027});
    EXPECT_EQ(modem.reads, 1);
}

// A request made while the worker decides may carry a change that the decision did not
// read: an eject, a modem arriving. It must not be absorbed by the reset that ends the pass.
TEST_F(WorkerTest, ARequestDuringTheDecisionGetsAPassOfItsOwn) {
    modem.gate.Close();
    check->TriggerUpdateSystemTrayIconStatus();
    ASSERT_TRUE(modem.gate.AwaitArrivals(1)) << "the worker never began deciding";
    TriggerFromThreads(1);
    modem.gate.Open();
    ASSERT_TRUE(event->AwaitIdle(2)) << "the worker never came back to wait";
    EXPECT_EQ(modem.reads, 2) << "the request made during the decision was lost";
    EXPECT_EQ(window.Messages().size(), 2u);
    EXPECT_EQ(SetEventLines(), 3) << "the pass kept for it is asked for like any other";
}

// The decision's own calls may ask for a decision (a modem read that sets off a request on
// the worker's thread): that asks for no other pass, or the worker would decide for ever.
TEST_F(WorkerTest, ARequestSetOffByTheDecisionItselfDoesNotLoop) {
    modem.onRead = [this] { check->TriggerUpdateSystemTrayIconStatus(); };
    check->TriggerUpdateSystemTrayIconStatus();
    ASSERT_TRUE(event->AwaitIdle(2)) << "the worker decided pass after pass";
    EXPECT_EQ(modem.reads, 1);
}

// Requests from another thread during every decision, the kept passes' too, as when the
// decision's AT query makes the system raise an account update on its own thread: each
// keeps a pass, up to a bounded run, then the worker waits again; the next request from
// outside starts a run of its own.
TEST_F(WorkerTest, ARequestRaisedOnAnotherThreadByEveryDecisionKeepsABoundedRun) {
    constexpr int kRaisedAtMost = 50;  // ends an unbounded run, so that it fails rather than hangs
    modem.onRead = [this] {
        if (modem.reads < kRaisedAtMost) {
            std::thread([this] { check->TriggerUpdateSystemTrayIconStatus(); }).join();
        }
    };
    check->TriggerUpdateSystemTrayIconStatus();
    ASSERT_TRUE(event->AwaitIdle(2)) << "the worker never came back to wait";
    EXPECT_EQ(modem.reads, 1 + SIM_STATUS_KEPT_PASSES) << "decisions for one request";
    check->TriggerUpdateSystemTrayIconStatus();
    ASSERT_TRUE(event->AwaitIdle(3)) << "the worker never came back to wait";
    EXPECT_EQ(modem.reads, 2 * (1 + SIM_STATUS_KEPT_PASSES)) << "a request after the run is honoured";
}

// A modem removed while the worker decides, after the decision read the platform, then a
// suspend before the decision ends: the pass kept for the removal is held, and the resume,
// which has no modem to ask for, gets it.
TEST_F(WorkerTest, APassKeptJustBeforeASuspendIsMadeOnResume) {
    ForwardingRequests requests(check.get());
    DeviceMonitor::Attach(nullptr, &requests);
    slots.onQuery = [this] {
        slots.onQuery = nullptr;
        DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState = 0;
        TriggerFromThreads(1);
        DeviceMonitor::PnpStatusNotifyCallback(nullptr, PBT_APMSUSPEND_TYPE, nullptr);
    };
    check->TriggerUpdateSystemTrayIconStatus();
    ASSERT_TRUE(event->AwaitIdle(2)) << "the worker never came back to wait";
    EXPECT_EQ(window.Messages(), std::vector<uint32_t>{1027});
    DeviceMonitor::PnpStatusNotifyCallback(nullptr, PBT_APMRESUMEAUTOMATIC_TYPE, nullptr);
    ASSERT_TRUE(event->AwaitIdle(2)) << "the worker never came back to wait";
    EXPECT_EQ(window.Messages(), (std::vector<uint32_t>{1027, 1026})) << "the icon stayed for a modem that went";
}

TEST_F(WorkerTest, RequestsDuringAPassGiveAtMostOneMore) {
    // Requests while the modem is read and while the window handles the message all lead
    // to the same one more pass.
    window.onMessage = [this](uint32_t) {
        if (!once.exchange(true)) {
            check->TriggerUpdateSystemTrayIconStatus();
            check->TriggerUpdateSystemTrayIconStatus();
        }
    };
    modem.gate.Close();
    check->TriggerUpdateSystemTrayIconStatus();
    ASSERT_TRUE(modem.gate.AwaitArrivals(1)) << "the worker never began deciding";
    TriggerFromThreads(2);
    modem.gate.Open();
    ASSERT_TRUE(event->AwaitIdle(3)) << "the worker never came back to wait after two passes";
    EXPECT_EQ(window.Messages().size(), 2u);
    EXPECT_EQ(modem.reads, 2);
}

TEST_F(WorkerTest, TheWindowsOwnDecisionAndTheWorkersAreSerialised) {
    modem.gate.Close();
    check->TriggerUpdateSystemTrayIconStatus();
    ASSERT_TRUE(modem.gate.AwaitArrivals(1)) << "the worker never began deciding";
    std::vector<std::thread> windows;
    for (int i = 0; i < 3; ++i) {
        windows.emplace_back([this] { EXPECT_EQ(check->UpdateSystemTrayIconStatus(), TRAY_ICON_SHOW); });
    }
    // Unserialised, the window threads would reach the modem while the worker is held there.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    modem.gate.Open();
    for (auto& thread : windows) {
        thread.join();
    }
    ASSERT_TRUE(event->AwaitIdle(2));
    EXPECT_FALSE(modem.overlapped) << "two decisions read the modem at once";
    EXPECT_EQ(modem.reads, 4);
}

}  // namespace

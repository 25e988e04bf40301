// The SIM status worker on a thread of its own, with requests from other threads, under
// real (scaled-down) pauses: run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "monitor/condition_check.h"
#include "monitor/device_monitor.h"
#include "tests/support/sim_status_fakes.h"
#include "tests/support/trace_capture.h"

namespace {

constexpr int kTimeScale = 5;  // 500 ms settle -> 100 ms

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
        event->Set();
        worker.join();
        DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState = 0;
    }
    static void Wait(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    TraceCapture trace;
    AutoResetEvent* event = new AutoResetEvent();
    FakeModemStatus modem;
    FakeSlotQuery slots;
    RecordingSleeper sleeper{kTimeScale};
    RecordingWindow window;
    SameApartment apartment;
    std::unique_ptr<ConditionCheck> check;
    std::atomic<bool> stop{false};
    std::atomic<bool> once{false};
    std::thread worker;
};

TEST_F(WorkerTest, ABurstWithinTheSettlePauseGivesOnePass) {
    std::vector<std::thread> requesters;
    for (int i = 0; i < 3; ++i) {
        requesters.emplace_back([this, i] {
            Wait(i * 20);
            check->TriggerUpdateSystemTrayIconStatus();
        });
    }
    for (auto& requester : requesters) {
        requester.join();
    }
    Wait(500);
    EXPECT_EQ(window.Messages(), std::vector<uint32_t>{1027});
}

TEST_F(WorkerTest, RequestsDuringAPassGiveAtMostOneMore) {
    // Requests while the modem is read are absorbed by the reset that ends the pass;
    // one that comes while the window handles the message leads to one more pass.
    modem.readTime = std::chrono::milliseconds(60);
    window.onMessage = [this](uint32_t) {
        if (!once.exchange(true)) {
            check->TriggerUpdateSystemTrayIconStatus();
            check->TriggerUpdateSystemTrayIconStatus();
        }
    };
    check->TriggerUpdateSystemTrayIconStatus();
    Wait(130);  // inside the first decision
    check->TriggerUpdateSystemTrayIconStatus();
    check->TriggerUpdateSystemTrayIconStatus();
    Wait(900);
    EXPECT_EQ(window.Messages().size(), 2u);
    EXPECT_EQ(modem.reads, 2);
}

TEST_F(WorkerTest, TheWindowsOwnDecisionAndTheWorkersAreSerialised) {
    modem.readTime = std::chrono::milliseconds(40);
    check->TriggerUpdateSystemTrayIconStatus();
    Wait(100);  // the worker is deciding now
    std::vector<std::thread> windows;
    for (int i = 0; i < 3; ++i) {
        windows.emplace_back([this] { EXPECT_EQ(check->UpdateSystemTrayIconStatus(), TRAY_ICON_SHOW); });
    }
    for (auto& thread : windows) {
        thread.join();
    }
    Wait(200);
    EXPECT_FALSE(modem.overlapped) << "two decisions read the modem at once";
    EXPECT_EQ(modem.reads, 4);
}

}  // namespace

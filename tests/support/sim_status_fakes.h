// Fakes of the SIM status decision's ports: a scripted modem and slot query, a recording
// sleeper and window, and a real auto-reset event for the worker's concurrency tests.
// The concurrency tests step the worker with gates instead of guessing at how long a
// thread takes: every wait for another thread is for a state, bounded only against a hang.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/hresult_error.h"
#include "monitor/condition_check.h"
#include "tests/support/modem_port_fakes.h"

// Bounds a wait for another thread's state; reached only when the test has failed.
constexpr std::chrono::seconds kHangBound{20};

// Lets callers through while open; while closed, holds them until it opens.
class Gate {
public:
    void Close() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Open = false;
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Open = true;
        m_Changed.notify_all();
    }
    void Pass() {
        std::unique_lock<std::mutex> lock(m_Mutex);
        ++m_Arrivals;
        m_Changed.notify_all();
        m_Changed.wait(lock, [this] { return m_Open; });
    }
    int Arrivals() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Arrivals;
    }
    // True once `count` callers have come to the gate in all.
    bool AwaitArrivals(int count) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Changed.wait_for(lock, kHangBound, [&] { return m_Arrivals >= count; });
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Open = true;
    int m_Arrivals = 0;
};

class AutoResetEvent : public SimStatusEvent {
public:
    void Set() override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Signalled = true;
        m_Changed.notify_one();
    }
    void Reset() override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Signalled = false;
    }
    bool Wait() override {
        std::unique_lock<std::mutex> lock(m_Mutex);
        ++m_Waits;
        m_Idle = !m_Signalled;
        m_Changed.notify_all();
        m_Changed.wait(lock, [this] { return m_Signalled; });
        m_Idle = false;
        m_Signalled = false;
        return true;
    }
    bool IsSignalled() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Signalled;
    }
    // True once the waiter has begun its `waits`-th wait and sits in it with nothing to
    // take: every pass asked for so far has ended.
    bool AwaitIdle(int waits) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Changed.wait_for(lock, kHangBound, [&] { return m_Waits >= waits && m_Idle && !m_Signalled; });
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Signalled = false;
    bool m_Idle = false;
    int m_Waits = 0;
};

// Answers with `status`, or throws what `failure` names for the first `failures` reads.
class FakeModemStatus : public ModemStatusReader {
public:
    enum class Failure { None, NoModem, Hresult };
    std::atomic<int32_t> status{1};
    Failure failure = Failure::None;
    int failures = 0;
    std::atomic<int> reads{0};
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    Gate gate;  // every read passes it
    std::function<void()> onRead;  // what a read sets off, as a modem event would

    int32_t ReadNetworkDeviceStatus() override {
        if (++inside > 1) {
            overlapped = true;
        }
        ++reads;
        gate.Pass();
        --inside;
        if (onRead) {
            onRead();
        }
        if (failures > 0 && failure != Failure::None) {
            --failures;
            if (failure == Failure::NoModem) {
                throw std::runtime_error("No modem object");
            }
            throw HresultError(static_cast<int32_t>(0x80070490), L"Element not found.");
        }
        return status;
    }
};

class FakeSlotQuery : public SimSlotQuery {
public:
    std::deque<std::pair<QuarnHresult, uint32_t>> answers{{QUARN_S_OK, 1}};
    int calls = 0;
    std::function<void()> onQuery;  // what happens while the decision waits for the answer
    QuarnHresult GetSimSlot(uint32_t* slot, ModulePlatform) override {
        ++calls;
        if (onQuery) {
            onQuery();
        }
        const auto answer = answers.front();
        if (answers.size() > 1) {
            answers.pop_front();
        }
        if (answer.first == QUARN_S_OK) {
            *slot = answer.second;
        }
        return answer.first;
    }
};

// Records pauses, each of which passes `gate`; none takes any time.
class RecordingSleeper : public Sleeper {
public:
    Gate gate;
    void SleepMs(uint32_t milliseconds) override {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Sleeps.push_back(milliseconds);
        }
        gate.Pass();
    }
    std::vector<uint32_t> Sleeps() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Sleeps;
    }

private:
    std::mutex m_Mutex;
    std::vector<uint32_t> m_Sleeps;
};

class RecordingWindow : public WindowMessenger {
public:
    std::function<void(uint32_t)> onMessage;
    void SendToAppWindow(uint32_t message) override {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Messages.push_back(message);
        }
        if (onMessage) {
            onMessage(message);
        }
    }
    std::vector<uint32_t> Messages() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Messages;
    }

private:
    std::mutex m_Mutex;
    std::vector<uint32_t> m_Messages;
};

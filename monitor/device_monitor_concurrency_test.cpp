// The device monitor with notifications on threads of their own, as the Configuration
// Manager makes them: run under ThreadSanitizer.
#include "monitor/device_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/counting_requests.h"
#include "tests/support/sim_status_fakes.h"
#include "tests/support/trace_capture.h"

namespace {

const wchar_t kHw4G[] = L"VID_5A3E&PID_0AC9&MI_00";
const std::wstring kModem4G = L"\\\\?\\USB#VID_5A3E&PID_0AC9&MI_00#6&1a2b&0&0000#{cac88484-7515-4c03-82e6-71a87abac361}";
// Another adapter whose path is as long as the modem's, so the list keeps its size.
const std::wstring kVpn = L"\\\\?\\ROOT#NET#VPN0000000000000000000000000#6&1a2b&0&0000#{cac88484-7515-4c03-82e6-71a87abac361}";
const std::wstring kEthernet = L"\\\\?\\PCI#VEN_8086&DEV_15F3#3&1158&0&FE#{cac88484-7515-4c03-82e6-71a87abac361}";

// The present interfaces: the Ethernet adapter, then the modem or the VPN adapter. Safe
// from any thread. Driver versions cannot be read (arrivals go on without).
class SharedRegistry : public DeviceInterfaceRegistry {
public:
    std::atomic<bool> modemPresent{true};
    // Toggles the modem after each list call, as a device that comes and goes all the time.
    std::atomic<bool> changeAtEveryList{false};
    std::atomic<int> notifications{0};
    // The notifications counted when the latest list call began.
    std::atomic<int> notificationsBeforeLastList{0};
    // Holds the list calls of threads other than `owner` while closed.
    Gate othersGate;
    std::thread::id owner = std::this_thread::get_id();
    std::function<void()> afterRegistration;  // run once, on the registering thread

    std::wstring List() const { return kEthernet + L'\0' + (modemPresent ? kModem4G : kVpn) + L'\0' + L'\0'; }
    uint32_t GetInterfaceListSize(const QuarnGuid&, uint32_t* length) override {
        if (std::this_thread::get_id() != owner) {
            othersGate.Pass();
        }
        notificationsBeforeLastList = notifications.load();
        *length = static_cast<uint32_t>(List().size());
        return CM_RESULT_SUCCESS;
    }
    uint32_t GetInterfaceList(const QuarnGuid&, wchar_t* list, uint32_t length) override {
        const std::wstring value = List();
        if (length < value.size()) {
            return CM_RESULT_BUFFER_SMALL;
        }
        std::wmemcpy(list, value.data(), value.size());
        if (changeAtEveryList) {
            modemPresent = !modemPresent;
            // A list call takes a while, as the system's does: notifications land during looks.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return CM_RESULT_SUCCESS;
    }
    uint32_t RegisterNotification(const QuarnGuid&, DeviceMonitorContext*, void** handle) override {
        *handle = reinterpret_cast<void*>(0x1);
        std::function<void()> once;
        std::swap(once, afterRegistration);
        if (once) {
            once();
        }
        return CM_RESULT_SUCCESS;
    }
    uint32_t GetInstanceIdSize(const wchar_t*, uint32_t*) override { return 0x25; }
    uint32_t GetInstanceId(const wchar_t*, wchar_t*, uint32_t) override { return 0x25; }
    uint32_t LocateDevNode(const wchar_t*, uint32_t*) override { return 0x25; }
    uint32_t GetDriverVersion(uint32_t, wchar_t*, uint32_t) override { return 0x25; }
};

class DeviceMonitorThreadsTest : public ::testing::Test {
protected:
    void SetUp() override { DeviceMonitor::Attach(&registry, &listener); }
    void TearDown() override { DeviceMonitor::Attach(nullptr, nullptr); }
    void Notify(uint32_t action) {
        ++registry.notifications;
        DeviceMonitor::DeviceInterfaceNotifyCallback(nullptr, &DeviceMonitor::Slot(DEVICE_SLOT_4G), action, nullptr, 0);
    }
    static int Count(const std::vector<std::string>& lines, const std::string& text) {
        int count = 0;
        for (const std::string& line : lines) {
            count += line.find(text) != std::string::npos ? 1 : 0;
        }
        return count;
    }

    SharedRegistry registry;
    CountingRequests listener;
};

// Another adapter's notification (a VPN coming up) looks at the list while start-up begins
// its own look: the modem present all along is recorded as present at start, once, and
// nobody takes it for an arrival or powers it on.
TEST_F(DeviceMonitorThreadsTest, ANotificationDuringStartUpDoesNotTakeThePresentModemForAnArrival) {
    TraceCapture trace;
    std::thread notifier;
    std::atomic<bool> notified{false};
    registry.othersGate.Close();
    registry.afterRegistration = [&] {
        notifier = std::thread([&] {
            Notify(DEVICE_INTERFACE_ARRIVAL);
            notified = true;
        });
        // Until the notification is inside its look, or has returned without one.
        const auto deadline = std::chrono::steady_clock::now() + kHangBound;
        while (!notified && registry.othersGate.Arrivals() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
    };
    DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, kHw4G, L"CDC_MBIM_DEVICE");
    const std::string summary = trace.Texts().back();
    registry.othersGate.Open();
    notifier.join();

    const std::string modem(kModem4G.begin(), kModem4G.end());
    EXPECT_EQ(summary, "[INFO] DeviceMonitor::InitializeMonitor : InitializeMonitor: handle: 0, HwId: VID_5A3E&PID_0AC9&MI_00, "
                       "DeviceState: 1, InterfaceId: " + modem + "\n")
        << "start-up did not look";
    EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, 1);
    EXPECT_EQ(Count(trace.Texts(), " ARRIVAL\n"), 0);
    EXPECT_EQ(listener.powerOns, 0) << "a power-on for a modem that start-up found";
    EXPECT_EQ(listener.triggers, 0);
}

// Notifications from several threads while the modem comes and goes at every list call:
// however they interleave, the last notification of each round is followed by a look
// that began after it, and each presence change is acted on once.
TEST_F(DeviceMonitorThreadsTest, EveryNotificationIsFollowedByALookThatBeganAfterIt) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    registry.modemPresent = false;
    DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, kHw4G, L"CDC_MBIM_DEVICE");
    registry.changeAtEveryList = true;

    // Rounds: every notifier makes one notification, all at once; then the test looks.
    std::mutex mutex;
    std::condition_variable changed;
    int round = 0;
    int done = 0;
    std::vector<std::thread> notifiers;
    for (int t = 0; t < kThreads; ++t) {
        notifiers.emplace_back([&, t] {
            for (int r = 1; r <= kRounds; ++r) {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait(lock, [&] { return round >= r; });
                }
                Notify(t % 2 == 0 ? DEVICE_INTERFACE_ARRIVAL : DEVICE_INTERFACE_REMOVAL);
                std::lock_guard<std::mutex> lock(mutex);
                ++done;
                changed.notify_all();
            }
        });
    }
    int lost = 0;
    for (int r = 1; r <= kRounds; ++r) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            round = r;
            changed.notify_all();
            changed.wait(lock, [&] { return done == r * kThreads; });
        }
        // Every notifier has returned: the looks asked for are over.
        lost += registry.notificationsBeforeLastList.load() < registry.notifications.load() ? 1 : 0;
        registry.notificationsBeforeLastList = registry.notifications.load();
    }
    for (auto& notifier : notifiers) {
        notifier.join();
    }
    EXPECT_EQ(lost, 0) << "rounds whose last notification got no look after it";
    // The slot ends as the last list showed it (the toggle after it undone).
    EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, registry.modemPresent ? 0 : 1);
    const int arrivals = listener.powerOns;
    const int removals = listener.triggers - arrivals;
    EXPECT_EQ(arrivals, removals + DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState) << "arrivals and removals alternate";
}

}  // namespace

#include "monitor/device_monitor.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/trace_capture.h"

namespace {

const wchar_t kHw4G[] = L"VID_5A3E&PID_0AC9&MI_00";
const wchar_t kHw5G[] = L"PCI#VEN_14C3&DEV_4D75";
const std::wstring kModem4G = L"\\\\?\\USB#VID_5A3E&PID_0AC9&MI_00#6&1a2b&0&0000#{cac88484-7515-4c03-82e6-71a87abac361}";
const std::wstring kModem5G = L"\\\\?\\PCI#VEN_14C3&DEV_4D75&SUBSYS_4D7514C3#4&2f3e&0&00E8#{cac88484-7515-4c03-82e6-71a87abac361}";
const std::wstring kEthernet = L"\\\\?\\PCI#VEN_8086&DEV_15F3#3&1158&0&FE#{cac88484-7515-4c03-82e6-71a87abac361}";

// The present interfaces as a scripted list, with failures on demand.
class FakeRegistry : public DeviceInterfaceRegistry {
public:
    std::vector<std::wstring> interfaces;
    std::wstring rawList;  // when set, returned as the list instead of `interfaces`
    uint32_t sizeResult = CM_RESULT_SUCCESS;
    uint32_t listResult = CM_RESULT_SUCCESS;
    bool sizeShortOnce = false;
    bool listFailsOnce = false;
    uint32_t registerResult = CM_RESULT_SUCCESS;
    uint32_t instanceSizeResult = CM_RESULT_BUFFER_SMALL;
    uint32_t instanceReadResult = CM_RESULT_SUCCESS;
    uint32_t locateResult = CM_RESULT_SUCCESS;
    std::wstring driverVersion = L"1.0.26.3";
    int registrations = 0;
    std::vector<std::wstring> locatedIds;
    // Run once right after the next list call or registration returns its answer, as a
    // device that arrives at that moment.
    std::function<void()> afterList;
    std::function<void()> afterRegistration;
    std::vector<DeviceMonitorContext*> registered;

    // The system's arrival notification: every registration made so far gets it.
    void Arrive(const std::wstring& path) {
        interfaces.push_back(path);
        for (DeviceMonitorContext* context : registered) {
            DeviceMonitor::DeviceInterfaceNotifyCallback(nullptr, context, DEVICE_INTERFACE_ARRIVAL, nullptr, 0);
        }
    }
    static void RunOnce(std::function<void()>& hook) {
        std::function<void()> once;
        std::swap(once, hook);
        if (once) {
            once();
        }
    }

    std::wstring List() const {
        if (!rawList.empty()) {
            return rawList;
        }
        std::wstring list;
        for (const std::wstring& entry : interfaces) {
            list += entry + L'\0';
        }
        return list + L'\0';
    }
    uint32_t GetInterfaceListSize(const QuarnGuid& cls, uint32_t* length) override {
        EXPECT_TRUE(cls == QUARN_GUID_DEVINTERFACE_NET);
        *length = interfaces.empty() && rawList.empty() ? 1 : static_cast<uint32_t>(List().size());
        if (sizeShortOnce) {
            sizeShortOnce = false;  // an interface arrives between the two calls
            *length -= 1;
        }
        return sizeResult;
    }
    uint32_t GetInterfaceList(const QuarnGuid&, wchar_t* list, uint32_t length) override {
        const std::wstring value = List();
        if (length < value.size()) {
            return CM_RESULT_BUFFER_SMALL;
        }
        std::wmemcpy(list, value.data(), value.size());
        RunOnce(afterList);
        if (listFailsOnce) {
            listFailsOnce = false;
            return 0x13;  // CR_FAILURE
        }
        return listResult;
    }
    uint32_t RegisterNotification(const QuarnGuid&, DeviceMonitorContext* context, void** handle) override {
        ++registrations;
        *handle = reinterpret_cast<void*>(0x1);
        if (registerResult == CM_RESULT_SUCCESS) {
            registered.push_back(context);
        }
        RunOnce(afterRegistration);
        return registerResult;
    }
    static std::wstring InstanceIdOf(const std::wstring& path) { return L"ID:" + path.substr(4, 20); }
    uint32_t GetInstanceIdSize(const wchar_t* path, uint32_t* bytes) override {
        *bytes = instanceSizeResult == CM_RESULT_BUFFER_SMALL
                     ? static_cast<uint32_t>((InstanceIdOf(path).size() + 1) * sizeof(wchar_t))
                     : 0;
        return instanceSizeResult;
    }
    uint32_t GetInstanceId(const wchar_t* path, wchar_t* id, uint32_t bytes) override {
        const std::wstring value = InstanceIdOf(path);
        EXPECT_GE(bytes, (value.size() + 1) * sizeof(wchar_t));
        std::wcscpy(id, value.c_str());
        return instanceReadResult;
    }
    uint32_t LocateDevNode(const wchar_t* instanceId, uint32_t* devNode) override {
        locatedIds.push_back(instanceId);
        *devNode = 7;
        return locateResult;
    }
    uint32_t GetDriverVersion(uint32_t devNode, wchar_t* version, uint32_t bytes) override {
        EXPECT_EQ(devNode, 7u);
        if ((driverVersion.size() + 1) * sizeof(wchar_t) > bytes) {
            return CM_RESULT_BUFFER_SMALL;
        }
        std::wcscpy(version, driverVersion.c_str());
        return CM_RESULT_SUCCESS;
    }
};

class FakeListener : public SimStatusRequests {
public:
    std::vector<std::string> calls;
    void TriggerUpdateSystemTrayIconStatus() override { calls.push_back("trigger"); }
    void PowerOnSimOn4GPlatform() override { calls.push_back("power-on"); }
};

class DeviceMonitorTest : public ::testing::Test {
protected:
    void SetUp() override { DeviceMonitor::Attach(&registry, &listener); }
    void TearDown() override { DeviceMonitor::Attach(nullptr, nullptr); }

    void InitializeBoth() {
        DeviceMonitor::InitializeMonitor(DEVICE_SLOT_5G, &QUARN_GUID_DEVINTERFACE_NET, kHw5G, L"QUARN_WWAN_NETADAPTER");
        DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, kHw4G, L"CDC_MBIM_DEVICE");
    }
    uint32_t Notify(int slot, uint32_t action) {
        return DeviceMonitor::DeviceInterfaceNotifyCallback(nullptr, &DeviceMonitor::Slot(slot), action, nullptr, 0);
    }
    int Find(const wchar_t* hardwareId, std::wstring* path) {
        wchar_t found[DEVICE_TEXT_CAPACITY] = {};
        const int result = DeviceMonitor::SetDeviceInterfaceId(found, &QUARN_GUID_DEVINTERFACE_NET, hardwareId);
        *path = found;
        return result;
    }

    FakeRegistry registry;
    FakeListener listener;
    TraceCapture trace;
};

// The slot's update machine over every state and event.
TEST(SlotUpdateMachine, EveryStateAndEvent) {
    using S = SlotUpdateState;
    using E = SlotUpdateEvent;
    using A = SlotUpdateAction;
    struct Row {
        S state;
        E event;
        S next;
        A action;
    } rows[] = {
        {S::Unwatched, E::StartUpLook, S::Looking, A::LookAtStart},
        {S::Unwatched, E::Notified, S::Unwatched, A::None},  // start-up's look comes after it
        {S::Unwatched, E::LookDone, S::Unwatched, A::None},
        {S::Idle, E::StartUpLook, S::Idle, A::None},
        {S::Idle, E::Notified, S::Looking, A::LookAgain},
        {S::Idle, E::LookDone, S::Idle, A::None},
        {S::Looking, E::StartUpLook, S::Looking, A::None},
        {S::Looking, E::Notified, S::LookingAsked, A::None},
        {S::Looking, E::LookDone, S::Idle, A::None},
        {S::LookingAsked, E::StartUpLook, S::LookingAsked, A::None},
        {S::LookingAsked, E::Notified, S::LookingAsked, A::None},
        {S::LookingAsked, E::LookDone, S::Looking, A::LookAgain},  // the look it is owed, by the same caller
    };
    for (const Row& row : rows) {
        const SlotUpdateStep step = NextSlotUpdateStep(row.state, row.event);
        SCOPED_TRACE(testing::Message() << "state " << static_cast<int>(row.state) << ", event " << static_cast<int>(row.event));
        EXPECT_EQ(step.State, row.next);
        EXPECT_EQ(step.Action, row.action);
    }
}

TEST_F(DeviceMonitorTest, TheListWalkTakesTheFirstExactCaseSensitiveMatch) {
    const std::wstring second4G = L"\\\\?\\USB#VID_5A3E&PID_0AC9&MI_00#second#{x}";
    registry.interfaces = {kEthernet, kModem4G, second4G};
    std::wstring path;
    EXPECT_EQ(Find(kHw4G, &path), 1);
    EXPECT_EQ(path, kModem4G);

    registry.interfaces = {kEthernet, L"\\\\?\\USB#vid_5a3e&pid_0ac9&mi_00#6&1a2b#{x}"};
    EXPECT_EQ(Find(kHw4G, &path), 0) << "another letter case is another device";
    EXPECT_EQ(path, L"");
    EXPECT_TRUE(trace.Captured().empty()) << "the end of the list is not an error";
}

TEST_F(DeviceMonitorTest, TheListWalkReportsEachFailure) {
    std::wstring path;
    EXPECT_EQ(Find(kHw4G, &path), 0);
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::SetDeviceInterfaceId : No active device interfaces found.\n"));

    registry.interfaces = {kModem4G};
    registry.sizeResult = 0x1F;
    EXPECT_EQ(Find(kHw4G, &path), DEVICE_LIST_UNREAD);
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::SetDeviceInterfaceId : Error retrieving device interface list: 0x1f\n"));
    registry.sizeResult = CM_RESULT_SUCCESS;
    registry.listResult = 26;  // too small, each of the times it is asked again
    EXPECT_EQ(Find(kHw4G, &path), DEVICE_LIST_UNREAD);
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::SetDeviceInterfaceId : Error retrieving device interface list: 26\n"));

    registry.listResult = CM_RESULT_SUCCESS;
    registry.rawList = std::wstring(2, L'\0');
    EXPECT_EQ(Find(kHw4G, &path), 0);
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::SetDeviceInterfaceId : Error: nextInterface is NULL or len is 0 failed\n"));
}

TEST_F(DeviceMonitorTest, LongEntriesAreSteppedOverWholeAndNeverCopiedCut) {
    // An adapter path longer than 256 characters whose tail holds another device's text:
    // a walk that stepped 257 characters would land inside it and see a false match.
    const std::wstring longEntry = L"\\\\?\\ROOT#NET#" + std::wstring(250, L'x') + L"#" + kHw4G + L"-fake#{x}";
    registry.interfaces = {std::wstring(300, L'y'), longEntry, kModem4G};
    std::wstring path;
    EXPECT_EQ(Find(kHw4G, &path), 1);
    EXPECT_EQ(path, kModem4G) << "the over-long match is refused, the real modem found";
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::SetDeviceInterfaceId : DeviceMonitor::SetDeviceInterfaceId: "
                               "interface path of " + std::to_string(longEntry.size()) + " characters is too long, skipped\n"));

    // A list the system left without its final terminator is still read within bounds.
    registry.rawList = kEthernet + L'\0' + kModem5G;
    EXPECT_EQ(Find(kHw5G, &path), 0);
    registry.rawList = kEthernet + L'\0' + kModem5G + L'\0';
    EXPECT_EQ(Find(kHw5G, &path), 1);
}

TEST_F(DeviceMonitorTest, ThePlatformFollowsTheSlotsAndFiveGWins) {
    struct Case {
        bool present4G, present5G;
        ModulePlatform platform;
    } cases[] = {{false, false, PLATFORM_INVALID}, {true, false, PLATFORM_4G}, {false, true, PLATFORM_5G}, {true, true, PLATFORM_5G}};
    for (const Case& c : cases) {
        registry.interfaces = {kEthernet};
        if (c.present4G) registry.interfaces.push_back(kModem4G);
        if (c.present5G) registry.interfaces.push_back(kModem5G);
        InitializeBoth();
        EXPECT_EQ(DeviceMonitor::GetCurrentModulePlatform(), c.platform);
    }
    const auto lines = trace.Texts();
    // With neither present: the invalid line, then the platform line with 0.
    const auto at = std::find(lines.begin(), lines.end(), "[ERROR] DeviceMonitor::GetCurrentModulePlatform : platform is invalid!\n");
    ASSERT_NE(at, lines.end());
    EXPECT_EQ(*(at + 1), "[ERROR] DeviceMonitor::GetCurrentModulePlatform : DeviceMonitor::GetCurrentModulePlatform: platform 0\n");
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::GetCurrentModulePlatform : DeviceMonitor::GetCurrentModulePlatform: platform 2\n"));
}

TEST_F(DeviceMonitorTest, AModemPresentAtStartIsRecordedWithoutVersionOrTrigger) {
    registry.interfaces = {kEthernet, kModem4G};
    EXPECT_TRUE(DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, kHw4G, L"CDC_MBIM_DEVICE"));
    const DeviceMonitorContext& slot = DeviceMonitor::Slot(DEVICE_SLOT_4G);
    EXPECT_EQ(slot.DeviceState, 1);
    EXPECT_EQ(std::wstring(slot.InterfaceId), kModem4G);
    EXPECT_TRUE(listener.calls.empty());
    EXPECT_TRUE(registry.locatedIds.empty()) << "the driver version is read on arrival only";
    EXPECT_TRUE(trace.Contains("[INFO] DeviceMonitor::InitializeMonitor : InitializeMonitor: handle: 0, HwId: VID_5A3E&PID_0AC9&MI_00, "
                               "DeviceState: 1, InterfaceId: " + std::string(kModem4G.begin(), kModem4G.end()) + "\n"));

    registry.registerResult = CM_RESULT_CALL_NOT_IMPLEMENTED;
    EXPECT_FALSE(DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, kHw4G, L"CDC_MBIM_DEVICE"));
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::InitializeMonitor : CM_Register_Notification failed, error 52\n"));
    EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, 1) << "the check made at start still holds";

    // The registration's failure is logged after the enumeration's lines, before the summary.
    registry.interfaces.clear();
    TraceCapture capture;
    DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, kHw4G, L"CDC_MBIM_DEVICE");
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{"[ERROR] DeviceMonitor::SetDeviceInterfaceId : No active device interfaces found.\n",
                                        "[ERROR] DeviceMonitor::InitializeMonitor : CM_Register_Notification failed, error 52\n",
                                        "[INFO] DeviceMonitor::InitializeMonitor : InitializeMonitor: handle: 0, HwId: "
                                        "VID_5A3E&PID_0AC9&MI_00, DeviceState: 0, InterfaceId: \n"}));
}

// A modem arriving while the monitor starts: right after the registration, start-up's look
// finds it, as it finds a modem present all along (start-up's own power-on and first
// decision follow); right after start-up's list call, the notification's look takes it for
// an arrival. Never both: at most one power-on sequence of the monitor's, one per arrival.
TEST_F(DeviceMonitorTest, AModemArrivingDuringStartIsSeenAndActedOnOnce) {
    for (const bool afterList : {true, false}) {
        SCOPED_TRACE(afterList ? "arrival right after the list" : "arrival right after the registration");
        registry.interfaces = {kEthernet};
        registry.registered.clear();
        listener.calls.clear();
        TraceCapture capture;
        (afterList ? registry.afterList : registry.afterRegistration) = [this] { registry.Arrive(kModem4G); };
        DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, kHw4G, L"CDC_MBIM_DEVICE");
        EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, 1) << "the modem is present";
        EXPECT_EQ(std::wstring(DeviceMonitor::Slot(DEVICE_SLOT_4G).InterfaceId), kModem4G);
        int arrivals = 0;
        for (const std::string& line : capture.Texts()) {
            arrivals += line.find(" ARRIVAL\n") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(arrivals, afterList ? 1 : 0);
        EXPECT_EQ(listener.calls, afterList ? (std::vector<std::string>{"trigger", "power-on"}) : std::vector<std::string>{})
            << "one power-on sequence per arrival";
        // Another notification of the same arrival changes nothing.
        registry.Arrive(kEthernet);
        EXPECT_EQ(listener.calls.size(), afterList ? 2u : 0u);
    }
}

// A change that comes while another handler enumerates is not lost to a decision made on
// the facts from before it: the slot ends as the last enumeration found it.
TEST_F(DeviceMonitorTest, AChangeDuringAnEnumerationIsNotLost) {
    // Removed right after start-up listed it.
    registry.interfaces = {kEthernet, kModem4G};
    registry.afterList = [this] {
        registry.interfaces = {kEthernet};
        Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_REMOVAL);
    };
    DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, kHw4G, L"CDC_MBIM_DEVICE");
    EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, 0) << "stuck present";
    EXPECT_EQ(listener.calls, (std::vector<std::string>{"trigger"}));

    // Back right after a removal handler listed nothing.
    registry.interfaces = {kEthernet, kModem4G};
    Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_ARRIVAL);
    listener.calls.clear();
    registry.interfaces = {kEthernet};
    registry.afterList = [this] {
        registry.interfaces = {kEthernet, kModem4G};
        Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_ARRIVAL);
    };
    Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_REMOVAL);
    EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, 1) << "stuck absent";
    EXPECT_EQ(listener.calls, (std::vector<std::string>{"trigger", "trigger", "power-on"}));
}

// A list that grew between the size call and the list call is read again: a modem arriving
// at that moment is not missed. One that cannot be read says nothing about the modem, which
// keeps its presence.
TEST_F(DeviceMonitorTest, AListThatGrewIsReadAgainAndOneThatFailedLeavesThePresence) {
    registry.interfaces = {kEthernet};
    DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, kHw4G, L"CDC_MBIM_DEVICE");
    registry.interfaces = {kEthernet, kModem4G};
    registry.sizeShortOnce = true;
    Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_ARRIVAL);
    EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, 1) << "the modem that made the list grow was missed";
    registry.listFailsOnce = true;
    Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_REMOVAL);
    EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, 1) << "a list that failed";
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::SetDeviceInterfaceId : Error retrieving device interface list: 19\n"));
    EXPECT_EQ(listener.calls, (std::vector<std::string>{"trigger", "power-on"}));
}

// The modem removed and back, under another interface path, while a look was under way: the
// next look finds it present, and the changed path tells it is another arrival.
TEST_F(DeviceMonitorTest, ARemovalAndArrivalFoldedIntoOneLookAreBothActedOn) {
    const std::wstring otherPort = L"\\\\?\\USB#VID_5A3E&PID_0AC9&MI_00#7&3c4d&0&0000#{cac88484-7515-4c03-82e6-71a87abac361}";
    registry.interfaces = {kEthernet, kModem4G};
    DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, kHw4G, L"CDC_MBIM_DEVICE");
    registry.afterList = [&] {
        registry.interfaces = {kEthernet};
        Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_REMOVAL);
        registry.interfaces = {kEthernet, otherPort};
        Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_ARRIVAL);
    };
    TraceCapture capture;
    Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_ARRIVAL);  // another adapter's
    EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, 1);
    EXPECT_EQ(std::wstring(DeviceMonitor::Slot(DEVICE_SLOT_4G).InterfaceId), otherPort) << "the old path was kept";
    EXPECT_EQ(listener.calls, (std::vector<std::string>{"trigger", "trigger", "power-on"}));
    std::vector<std::string> moves;
    for (const std::string& line : capture.Texts()) {
        if (line.find(" REMOVAL\n") != std::string::npos || line.find(" ARRIVAL\n") != std::string::npos) {
            moves.push_back(line);
        }
    }
    EXPECT_EQ(moves, (std::vector<std::string>{
                         "[INFO] DeviceMonitor::OnDeviceInterfaceRemoval : CM_NOTIFY_ACTION_DEVICEINTERFACE - CDC_MBIM_DEVICE REMOVAL\n",
                         "[INFO] DeviceMonitor::OnDeviceInterfaceArrival : CM_NOTIFY_ACTION_DEVICEINTERFACE - CDC_MBIM_DEVICE ARRIVAL\n"}));
}

TEST_F(DeviceMonitorTest, ArrivalAndRemovalMoveThePlatformAndWakeTheWorker) {
    registry.interfaces = {kEthernet};
    InitializeBoth();
    EXPECT_EQ(Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_ARRIVAL), 0u);
    EXPECT_TRUE(listener.calls.empty()) << "an adapter that is not the modem changes nothing";

    registry.interfaces = {kEthernet, kModem4G};
    Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_ARRIVAL);
    EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, 1);
    EXPECT_EQ(listener.calls, (std::vector<std::string>{"trigger", "power-on"}));
    EXPECT_EQ(std::wstring(DeviceMonitor::Slot(DEVICE_SLOT_4G).DriverVersion), L"1.0.26.3");
    EXPECT_TRUE(trace.Contains("[INFO] DeviceMonitor::OnDeviceInterfaceArrival : CM_NOTIFY_ACTION_DEVICEINTERFACE - CDC_MBIM_DEVICE ARRIVAL\n"));
    EXPECT_TRUE(trace.Contains("[INFO] DeviceMonitor::OnDeviceInterfaceArrival : CDC_MBIM_DEVICE: 1.0.26.3\n"));
    EXPECT_EQ(DeviceMonitor::GetCurrentModulePlatform(), PLATFORM_4G);

    Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_ARRIVAL);
    EXPECT_EQ(listener.calls.size(), 2u) << "a second arrival while present is ignored";

    registry.interfaces = {kModem4G};
    Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_REMOVAL);
    EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, 1) << "another adapter went";

    registry.interfaces = {kEthernet};
    Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_REMOVAL);
    Notify(DEVICE_SLOT_4G, DEVICE_INTERFACE_REMOVAL);
    EXPECT_EQ(DeviceMonitor::Slot(DEVICE_SLOT_4G).DeviceState, 0);
    EXPECT_EQ(listener.calls, (std::vector<std::string>{"trigger", "power-on", "trigger"}));
    EXPECT_EQ(std::wstring(DeviceMonitor::Slot(DEVICE_SLOT_4G).InterfaceId), kModem4G) << "kept after removal";
    EXPECT_EQ(DeviceMonitor::GetCurrentModulePlatform(), PLATFORM_INVALID);
    EXPECT_EQ(DeviceMonitor::DeviceInterfaceNotifyCallback(nullptr, nullptr, 0, nullptr, 0), 0u);
    EXPECT_EQ(Notify(DEVICE_SLOT_4G, 7), 0u);
}

TEST_F(DeviceMonitorTest, DriverVersionFailuresAreLoggedAndArrivalGoesOn) {
    registry.interfaces = {kEthernet};
    InitializeBoth();
    registry.interfaces = {kModem5G};

    registry.instanceSizeResult = 0x25;  // the size query failed: the id is never read
    Notify(DEVICE_SLOT_5G, DEVICE_INTERFACE_ARRIVAL);
    EXPECT_TRUE(registry.locatedIds.empty());
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::SetDeviceVersion : DeviceMonitor::SetDeviceVersion: instance id size query failed: 0x25\n"));
    EXPECT_EQ(listener.calls, (std::vector<std::string>{"trigger", "power-on"}));
    EXPECT_EQ(std::wstring(DeviceMonitor::Slot(DEVICE_SLOT_5G).DriverVersion), L"");

    wchar_t version[DEVICE_TEXT_CAPACITY] = L"old";
    registry.instanceSizeResult = CM_RESULT_BUFFER_SMALL;
    registry.instanceReadResult = 0x25;
    EXPECT_EQ(DeviceMonitor::SetDeviceVersion(kModem5G.c_str(), version), 0);
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::SetDeviceVersion : DeviceMonitor::SetDeviceVersion: instance id read failed: 0x25\n"));
    EXPECT_TRUE(registry.locatedIds.empty()) << "an id that was not read is not looked up";
    registry.instanceReadResult = CM_RESULT_SUCCESS;
    registry.locateResult = 0x0D;
    EXPECT_EQ(DeviceMonitor::SetDeviceVersion(kModem5G.c_str(), version), 0);
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::SetDeviceVersion : Error CM_Locate_DevNode failed: 0xD\n"));
    registry.locateResult = CM_RESULT_SUCCESS;
    registry.driverVersion = std::wstring(400, L'9');
    EXPECT_EQ(DeviceMonitor::SetDeviceVersion(kModem5G.c_str(), version), 0);
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::SetDeviceVersion : Error DEVPKEY_Device_DriverVersion error: 26\n"));
    EXPECT_EQ(std::wstring(version), L"old");
    registry.driverVersion = L"2.4.1.0";
    EXPECT_EQ(DeviceMonitor::SetDeviceVersion(kModem5G.c_str(), nullptr), 1);
    EXPECT_TRUE(trace.Contains("[ERROR] DeviceMonitor::SetDeviceVersion : Error wcDriverVersion is NULL\n"));
}

}  // namespace

// Which modem is present: the 4G USB modem (slot 0) and the 5G PCIe modem (slot 1), found
// by hardware ID in the paths of the present network-adapter interfaces and followed
// through interface arrival and removal notifications.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/module_platform.h"
#include "common/platform_types.h"

constexpr int DEVICE_SLOT_4G = 0;
constexpr int DEVICE_SLOT_5G = 1;
constexpr int DEVICE_SLOT_COUNT = 2;

// Buffers of interface paths and driver versions, in characters with the terminator.
constexpr uint32_t DEVICE_TEXT_CAPACITY = 260;
// SetDeviceInterfaceId's answer when the list could not be read, and how often it asks for
// a list that grew between its size and its contents.
constexpr int DEVICE_LIST_UNREAD = -1;
constexpr int DEVICE_LIST_ATTEMPTS = 3;
// The walk of the interface list has always assumed entries of at most this many characters.
constexpr uint32_t DEVICE_LIST_ENTRY_LIMIT = 256;

// Configuration Manager result codes the monitor tells apart.
constexpr uint32_t CM_RESULT_SUCCESS = 0;
constexpr uint32_t CM_RESULT_BUFFER_SMALL = 0x1A;
constexpr uint32_t CM_RESULT_CALL_NOT_IMPLEMENTED = 0x34;

// Notification actions of the device-interface filter.
constexpr uint32_t DEVICE_INTERFACE_ARRIVAL = 0;
constexpr uint32_t DEVICE_INTERFACE_REMOVAL = 1;

// Power broadcast types and console control types the monitor acts on.
constexpr uint32_t PBT_APMSUSPEND_TYPE = 0x4;
constexpr uint32_t PBT_APMRESUMESUSPEND_TYPE = 0x7;
constexpr uint32_t PBT_APMRESUMEAUTOMATIC_TYPE = 0x12;
constexpr QuarnDword CTRL_LOGOFF_TYPE = 5;
constexpr QuarnDword CTRL_SHUTDOWN_TYPE = 6;

struct DeviceMonitorContext {
    int32_t Index;
    QuarnGuid InterfaceClassGuid;
    const wchar_t* HwId;
    const wchar_t* DeviceName;
    std::atomic<int32_t> DeviceState;  // 1 present, 0 absent; read by other threads unlocked
    void* NotifyHandle;
    wchar_t InterfaceId[DEVICE_TEXT_CAPACITY];
    wchar_t DriverVersion[DEVICE_TEXT_CAPACITY];
};

// Who brings a slot up to date. Notifications come on system threads, possibly several at
// once, and start-up looks beside them: one caller at a time looks at the list and acts, and
// a notification that comes during a look is owed one more look, by that caller.
enum class SlotUpdateState {
    Unwatched,     // start-up's look is still to come, and will see whatever came before it
    Idle,
    Looking,       // a caller looks; nothing came since its look began
    LookingAsked,  // a notification came during the look, which may have read the list before it
};
enum class SlotUpdateEvent { StartUpLook, Notified, LookDone };
enum class SlotUpdateAction {
    None,
    LookAtStart,  // records a modem present at start, without its version, waking nobody
    LookAgain,    // acts on what the list shows: an arrival for an absent slot, a removal for a present one
};
struct SlotUpdateStep {
    SlotUpdateState State;
    SlotUpdateAction Action;
};
SlotUpdateStep NextSlotUpdateStep(SlotUpdateState state, SlotUpdateEvent event);

// The Configuration Manager as the monitor uses it. Results are CONFIGRET codes.
class DeviceInterfaceRegistry {
public:
    virtual ~DeviceInterfaceRegistry() = default;
    // Present interfaces of a class, as a multi-string list; lengths in characters.
    virtual uint32_t GetInterfaceListSize(const QuarnGuid& interfaceClass, uint32_t* length) = 0;
    virtual uint32_t GetInterfaceList(const QuarnGuid& interfaceClass, wchar_t* list, uint32_t length) = 0;
    // Registers DeviceMonitor::DeviceInterfaceNotifyCallback for the class with `context`;
    // CM_RESULT_CALL_NOT_IMPLEMENTED where the system has no such registration.
    virtual uint32_t RegisterNotification(const QuarnGuid& interfaceClass, DeviceMonitorContext* context,
                                          void** handle) = 0;
    // The interface's device instance id: its size in bytes, then the id itself.
    virtual uint32_t GetInstanceIdSize(const wchar_t* interfacePath, uint32_t* bytes) = 0;
    virtual uint32_t GetInstanceId(const wchar_t* interfacePath, wchar_t* id, uint32_t bytes) = 0;
    virtual uint32_t LocateDevNode(const wchar_t* instanceId, uint32_t* devNode) = 0;
    // The device node's driver version into `version`, a buffer of `bytes` bytes.
    virtual uint32_t GetDriverVersion(uint32_t devNode, wchar_t* version, uint32_t bytes) = 0;
};

// Requests for a new SIM status decision and for the 4G SIM power-on (ConditionCheck on
// the machine), made by the event sources.
class SimStatusRequests {
public:
    virtual ~SimStatusRequests() = default;
    virtual void TriggerUpdateSystemTrayIconStatus() = 0;
    virtual void PowerOnSimOn4GPlatform() = 0;
    // For a source whose power-on may come well after its event (the Mobile Broadband sink
    // connects first): the count of ejects when the event came, and the power-on that sends
    // nothing once the user has ejected the SIM since.
    virtual uint32_t SimEjectCount() { return 0; }
    virtual void PowerOnSimOn4GPlatformUnlessEjectedSince(uint32_t /*ejectCount*/) { PowerOnSimOn4GPlatform(); }
    // The machine resumed: a request refused while it was suspended is asked for now. Only
    // the power callback resumes anything; the other sources need not implement it.
    virtual void ReleaseHeldRequest() {}
};

class DeviceMonitor {
public:
    // Wires the monitor to the platform; start-up does it before the first InitializeMonitor.
    static void Attach(DeviceInterfaceRegistry* registry, SimStatusRequests* listener);

    static bool InitializeMonitor(int slot, const QuarnGuid* interfaceClass, const wchar_t* hardwareId,
                                  const wchar_t* deviceName);
    static ModulePlatform GetCurrentModulePlatform();

    // The notification callback's logic, with the platform callback's arguments.
    static uint32_t DeviceInterfaceNotifyCallback(void* notifyHandle, void* context, uint32_t action,
                                                  const void* eventData, uint32_t eventDataSize);
    // One look at the list for an absent (present) slot, acting on an arrival (removal); the
    // callback runs them one at a time per slot. A present modem found under another
    // interface path went and came back: a removal, then an arrival.
    static void OnDeviceInterfaceArrival(DeviceMonitorContext* pContext);
    static void OnDeviceInterfaceRemoval(DeviceMonitorContext* pContext);

    // 1 when a present interface of the class has a path holding `hardwareId` (copied to
    // `interfaceId`), 0 when none has, DEVICE_LIST_UNREAD when the list could not be read (the
    // modem's presence is then unknown).
    static int SetDeviceInterfaceId(wchar_t* interfaceId, const QuarnGuid* interfaceClass, const wchar_t* hardwareId);
    static int SetDeviceVersion(const wchar_t* interfacePath, wchar_t* wcDriverVersion);

    static DeviceMonitorContext& Slot(int slot);

    // Power suspend/resume: keeps m_DevicePowerStatus and asks for a decision after an
    // automatic resume with a modem present. Returns 0.
    static uint32_t PnpStatusNotifyCallback(void* context, uint32_t type, void* setting);
    // Console control events: logs logoff and shutdown; TRUE (1) for every type.
    static QuarnBool HandlerPCRoutine(QuarnDword ctrlType);
    // The power registration (Windows adapter).
    static void RegisterPowerNotification();
    static void UnRegisterPowerNotification();
};

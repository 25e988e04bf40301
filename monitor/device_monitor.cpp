#include "monitor/device_monitor.h"

#include <cwchar>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "monitor/power_status.h"
#include "trace/trace.h"

namespace {

DeviceMonitorContext g_Monitored[DEVICE_SLOT_COUNT];
DeviceInterfaceRegistry* g_Registry = nullptr;
SimStatusRequests* g_Listener = nullptr;

// Each slot's update machine, stepped under its own lock; the looks run outside it.
struct SlotUpdates {
    std::mutex Mutex;
    SlotUpdateState State = SlotUpdateState::Unwatched;
};
SlotUpdates g_Updates[DEVICE_SLOT_COUNT];

SlotUpdateAction StepSlot(const DeviceMonitorContext& context, SlotUpdateEvent event) {
    SlotUpdates& updates = g_Updates[context.Index];
    std::lock_guard<std::mutex> lock(updates.Mutex);
    const SlotUpdateStep step = NextSlotUpdateStep(updates.State, event);
    updates.State = step.State;
    return step.Action;
}

// One look at the list, acting on what it shows: an arrival for an absent slot, a
// removal for a present one.
void LookAgain(DeviceMonitorContext& context) {
    if (context.DeviceState == 0) {
        DeviceMonitor::OnDeviceInterfaceArrival(&context);
    } else {
        DeviceMonitor::OnDeviceInterfaceRemoval(&context);
    }
}

// Looks again for as long as the machine owes this caller a look.
void LookWhileAsked(DeviceMonitorContext& context, SlotUpdateAction action) {
    while (action == SlotUpdateAction::LookAgain) {
        LookAgain(context);
        action = StepSlot(context, SlotUpdateEvent::LookDone);
    }
}

void ActOnArrival(DeviceMonitorContext& context, const wchar_t* path) {
    LOG_INFO("[INFO] DeviceMonitor::OnDeviceInterfaceArrival : CM_NOTIFY_ACTION_DEVICEINTERFACE - %ls ARRIVAL\n",
             context.DeviceName);
    std::wcscpy(context.InterfaceId, path);  // before the state that makes it current
    context.DeviceState = 1;
    DeviceMonitor::SetDeviceVersion(path, context.DriverVersion);
    LOG_INFO("[INFO] DeviceMonitor::OnDeviceInterfaceArrival : %ls: %ls\n", context.DeviceName, context.DriverVersion);
    g_Listener->TriggerUpdateSystemTrayIconStatus();
    g_Listener->PowerOnSimOn4GPlatform();
}

// Copies `text` into a DEVICE_TEXT_CAPACITY buffer; false (nothing copied) when it does not
// fit, so that no cut-off path or version can match or mislead.
bool CopyText(wchar_t* target, const wchar_t* text, std::size_t length) {
    if (length >= DEVICE_TEXT_CAPACITY) {
        return false;
    }
    std::wmemcpy(target, text, length);
    target[length] = L'\0';
    return true;
}

}  // namespace

SlotUpdateStep NextSlotUpdateStep(SlotUpdateState state, SlotUpdateEvent event) {
    using State = SlotUpdateState;
    using Action = SlotUpdateAction;
    switch (event) {
    case SlotUpdateEvent::StartUpLook:
        // A slot starts once; start-up resets it to Unwatched before.
        return state == State::Unwatched ? SlotUpdateStep{State::Looking, Action::LookAtStart}
                                         : SlotUpdateStep{state, Action::None};
    case SlotUpdateEvent::Notified:
        switch (state) {
        case State::Unwatched:
            return {state, Action::None};  // start-up's look comes after it
        case State::Idle:
            return {State::Looking, Action::LookAgain};
        case State::Looking:
        case State::LookingAsked:
            return {State::LookingAsked, Action::None};
        }
        break;
    case SlotUpdateEvent::LookDone:
        switch (state) {
        case State::Looking:
            return {State::Idle, Action::None};
        case State::LookingAsked:
            return {State::Looking, Action::LookAgain};
        case State::Unwatched:
        case State::Idle:
            return {state, Action::None};
        }
        break;
    }
    return {state, Action::None};
}

void DeviceMonitor::Attach(DeviceInterfaceRegistry* registry, SimStatusRequests* listener) {
    g_Registry = registry;
    g_Listener = listener;
}

DeviceMonitorContext& DeviceMonitor::Slot(int slot) { return g_Monitored[slot]; }

bool DeviceMonitor::InitializeMonitor(int slot, const QuarnGuid* interfaceClass, const wchar_t* hardwareId,
                                      const wchar_t* deviceName) {
    DeviceMonitorContext& context = g_Monitored[slot];
    context.InterfaceId[0] = L'\0';
    context.Index = slot;
    context.InterfaceClassGuid = *interfaceClass;
    context.HwId = hardwareId;
    context.DeviceName = deviceName;
    context.DeviceState = 0;
    {
        std::lock_guard<std::mutex> lock(g_Updates[slot].Mutex);
        g_Updates[slot].State = SlotUpdateState::Unwatched;
    }

    // Registered before the enumeration, as the Configuration Manager advises: a modem that
    // arrives in between is then seen by start-up's look, and one that arrives during it by
    // the look it is owed. Notifications that come first leave the look to start-up, so a
    // modem present all along is never taken for an arrival.
    const uint32_t result = g_Registry->RegisterNotification(*interfaceClass, &context, &context.NotifyHandle);
    if (StepSlot(context, SlotUpdateEvent::StartUpLook) == SlotUpdateAction::LookAtStart) {
        wchar_t found[DEVICE_TEXT_CAPACITY] = {};
        if (SetDeviceInterfaceId(found, &context.InterfaceClassGuid, context.HwId) == 1) {
            std::wcscpy(context.InterfaceId, found);
            context.DeviceState = 1;
        }
    }
    // Still the slot's one looker: nobody writes the record while it is logged.
    if (result != CM_RESULT_SUCCESS) {
        LOG_ERROR("[ERROR] DeviceMonitor::InitializeMonitor : CM_Register_Notification failed, error %lu\n",
                  static_cast<unsigned long>(result));
    }
    LOG_INFO("[INFO] DeviceMonitor::InitializeMonitor : InitializeMonitor: handle: %d, HwId: %ls, DeviceState: %d, InterfaceId: %ls\n",
             context.Index, context.HwId, static_cast<int>(context.DeviceState), context.InterfaceId);
    LookWhileAsked(context, StepSlot(context, SlotUpdateEvent::LookDone));
    return result == CM_RESULT_SUCCESS;
}

int DeviceMonitor::SetDeviceInterfaceId(wchar_t* interfaceId, const QuarnGuid* interfaceClass,
                                        const wchar_t* hardwareId) {
    std::unique_ptr<wchar_t[]> list;
    uint32_t length = 0;
    uint32_t result = CM_RESULT_BUFFER_SMALL;
    // An interface that arrives between the size call and the list call makes the list too
    // big for the buffer: ask again, a few times, as the Configuration Manager advises.
    for (int attempt = 0; attempt < DEVICE_LIST_ATTEMPTS && result == CM_RESULT_BUFFER_SMALL; ++attempt) {
        result = g_Registry->GetInterfaceListSize(*interfaceClass, &length);
        if (result != CM_RESULT_SUCCESS) {
            LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceInterfaceId : Error retrieving device interface list: 0x%x\n", result);
            return DEVICE_LIST_UNREAD;
        }
        if (length <= 1) {
            LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceInterfaceId : No active device interfaces found.\n");
            return 0;
        }
        list.reset(new (std::nothrow) wchar_t[length]());
        if (!list) {
            LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceInterfaceId : Error allocating memory for device interface list..\n");
            return DEVICE_LIST_UNREAD;
        }
        result = g_Registry->GetInterfaceList(*interfaceClass, list.get(), length);
    }
    if (result != CM_RESULT_SUCCESS) {
        LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceInterfaceId : Error retrieving device interface list: %lu\n",
                  static_cast<unsigned long>(result));
        return DEVICE_LIST_UNREAD;
    }

    // Each entry is stepped over whole, however long; an entry without its terminator
    // inside the list (a list the system left unterminated) is not read at all.
    const wchar_t* entry = list.get();
    if (*entry == L'\0') {
        LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceInterfaceId : Error: nextInterface is NULL or len is 0 failed\n");
        return 0;
    }
    for (uint32_t consumed = 0; consumed < length && *entry != L'\0';) {
        const std::size_t entryLength = wcsnlen(entry, length - consumed);
        if (entryLength == length - consumed) {
            break;
        }
        if (std::wcsstr(entry, hardwareId) != nullptr) {
            if (CopyText(interfaceId, entry, entryLength)) {
                return 1;
            }
            LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceInterfaceId : %s: interface path of %u characters is too long, skipped\n",
                      "DeviceMonitor::SetDeviceInterfaceId", static_cast<unsigned>(entryLength));
        }
        consumed += static_cast<uint32_t>(entryLength) + 1;
        entry += entryLength + 1;
    }
    return 0;
}

int DeviceMonitor::SetDeviceVersion(const wchar_t* interfacePath, wchar_t* wcDriverVersion) {
    uint32_t bytes = 0;
    const uint32_t sizeResult = g_Registry->GetInstanceIdSize(interfacePath, &bytes);
    // An instance id whose size is unknown is never read, let alone used.
    const bool sizeKnown = sizeResult == CM_RESULT_SUCCESS || sizeResult == CM_RESULT_BUFFER_SMALL;
    if (!sizeKnown || bytes == 0 || bytes % sizeof(wchar_t) != 0) {
        LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceVersion : %s: instance id size query failed: 0x%X\n",
                  "DeviceMonitor::SetDeviceVersion", sizeResult);
        return 0;
    }
    const std::size_t characters = bytes / sizeof(wchar_t);
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[characters + 1]());
    if (!buffer) {
        LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceVersion : Error allocating memory for device interface property\n");
        return 0;
    }
    uint32_t result = g_Registry->GetInstanceId(interfacePath, buffer.get(), bytes);
    if (result != CM_RESULT_SUCCESS) {
        LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceVersion : %s: instance id read failed: 0x%X\n",
                  "DeviceMonitor::SetDeviceVersion", result);
        return 0;
    }
    buffer[characters] = L'\0';
    uint32_t devNode = 0;
    result = g_Registry->LocateDevNode(buffer.get(), &devNode);
    if (result != CM_RESULT_SUCCESS) {
        LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceVersion : Error CM_Locate_DevNode failed: 0x%X\n", result);
        return 0;
    }
    result = g_Registry->GetDriverVersion(devNode, buffer.get(), bytes);
    if (result != CM_RESULT_SUCCESS) {
        LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceVersion : Error DEVPKEY_Device_DriverVersion error: %d\n",
                  static_cast<int>(result));
        return 0;
    }
    buffer[characters] = L'\0';
    if (wcDriverVersion == nullptr) {
        LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceVersion : Error wcDriverVersion is NULL\n");
    } else if (!CopyText(wcDriverVersion, buffer.get(), std::wcslen(buffer.get()))) {
        LOG_ERROR("[ERROR] DeviceMonitor::SetDeviceVersion : %s: driver version of %u characters is too long\n",
                  "DeviceMonitor::SetDeviceVersion", static_cast<unsigned>(std::wcslen(buffer.get())));
        return 0;
    }
    return 1;
}

ModulePlatform DeviceMonitor::GetCurrentModulePlatform() {
    ModulePlatform platform = PLATFORM_INVALID;
    if (g_Monitored[DEVICE_SLOT_5G].DeviceState == 1) {
        platform = PLATFORM_5G;
    } else if (g_Monitored[DEVICE_SLOT_4G].DeviceState == 1) {
        platform = PLATFORM_4G;
    } else {
        LOG_ERROR("[ERROR] DeviceMonitor::GetCurrentModulePlatform : platform is invalid!\n");
    }
    LOG_ERROR("[ERROR] DeviceMonitor::GetCurrentModulePlatform : %s: platform %d\n",
              "DeviceMonitor::GetCurrentModulePlatform", static_cast<int>(platform));
    return platform;
}

uint32_t DeviceMonitor::DeviceInterfaceNotifyCallback(void* /*notifyHandle*/, void* context, uint32_t action,
                                                      const void* /*eventData*/, uint32_t /*eventDataSize*/) {
    auto* record = static_cast<DeviceMonitorContext*>(context);
    if (record == nullptr) {
        return 0;
    }
    // Neither the event's own path nor its action decides: a removal may be followed by an
    // arrival before anyone looks. Every decision rests on an enumeration made after the
    // notification, by the slot's one updater.
    if (action == DEVICE_INTERFACE_ARRIVAL || action == DEVICE_INTERFACE_REMOVAL) {
        LookWhileAsked(*record, StepSlot(*record, SlotUpdateEvent::Notified));
    }
    return 0;
}

void DeviceMonitor::OnDeviceInterfaceArrival(DeviceMonitorContext* pContext) {
    if (pContext == nullptr) {
        LOG_ERROR("[ERROR] DeviceMonitor::OnDeviceInterfaceArrival : pContext == NULL\n");
        return;
    }
    wchar_t found[DEVICE_TEXT_CAPACITY] = {};
    if (SetDeviceInterfaceId(found, &pContext->InterfaceClassGuid, pContext->HwId) != 1) {
        return;
    }
    ActOnArrival(*pContext, found);
}

void DeviceMonitor::OnDeviceInterfaceRemoval(DeviceMonitorContext* pContext) {
    wchar_t found[DEVICE_TEXT_CAPACITY] = {};
    const int result = SetDeviceInterfaceId(found, &pContext->InterfaceClassGuid, pContext->HwId);
    if (result == DEVICE_LIST_UNREAD || (result == 1 && std::wcscmp(found, pContext->InterfaceId) == 0)) {
        return;  // the list says nothing, or another adapter went and the modem is still there
    }
    LOG_INFO("[INFO] DeviceMonitor::OnDeviceInterfaceRemoval : CM_NOTIFY_ACTION_DEVICEINTERFACE - %ls REMOVAL\n",
             pContext->DeviceName);
    pContext->DeviceState = 0;
    g_Listener->TriggerUpdateSystemTrayIconStatus();
    if (result == 1) {
        ActOnArrival(*pContext, found);  // back under another path while nobody looked
    }
}

uint32_t DeviceMonitor::PnpStatusNotifyCallback(void* /*context*/, uint32_t type, void* /*setting*/) {
    switch (type) {
    case PBT_APMSUSPEND_TYPE:
        m_DevicePowerStatus = SUSPENDED;
        LOG_INFO("[INFO] DeviceMonitor::PnpStatusNotifyCallback : \tPBT_APMSUSPEND\n");
        break;
    case PBT_APMRESUMESUSPEND_TYPE:
        m_DevicePowerStatus = RESUMED;
        LOG_INFO("[INFO] DeviceMonitor::PnpStatusNotifyCallback : \tPBT_APMRESUMESUSPEND\n");
        g_Listener->ReleaseHeldRequest();
        break;
    case PBT_APMRESUMEAUTOMATIC_TYPE:
        m_DevicePowerStatus = RESUMED;
        LOG_INFO("[INFO] DeviceMonitor::PnpStatusNotifyCallback : \tPBT_APMRESUMEAUTOMATIC\n");
        // Whatever was asked while suspended is asked now, modem or not: a modem that went
        // just before the suspend leaves no modem to ask for.
        g_Listener->ReleaseHeldRequest();
        if (g_Monitored[DEVICE_SLOT_5G].DeviceState == 1 || g_Monitored[DEVICE_SLOT_4G].DeviceState == 1) {
            g_Listener->TriggerUpdateSystemTrayIconStatus();
        }
        break;
    default:
        break;
    }
    return 0;
}

QuarnBool DeviceMonitor::HandlerPCRoutine(QuarnDword ctrlType) {
    if (ctrlType == CTRL_LOGOFF_TYPE) {
        LOG_INFO("[INFO] DeviceMonitor::HandlerPCRoutine : Current USER logoff...\n");
    } else if (ctrlType == CTRL_SHUTDOWN_TYPE) {
        LOG_INFO("[INFO] DeviceMonitor::HandlerPCRoutine : PC is shutting down...\n");
    }
    return 1;  // handled: the default handler would end the process
}

#include "monitor/win/power_notifications.h"

#include "compat/cfgmgr_power.h"
#include "monitor/device_monitor.h"
#include "trace/trace.h"

HPOWERNOTIFY PowerNotificationHandle = nullptr;

namespace {

HMODULE PowerLibrary() {
    static const HMODULE module = LoadLibraryW(L"powrprof.dll");
    return module;
}

template <typename Function>
Function ResolvePower(const char* name) {
    return PowerLibrary() == nullptr
               ? nullptr
               : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(PowerLibrary(), name)));
}

ULONG CALLBACK PowerThunk(PVOID context, ULONG type, PVOID setting) {
    return DeviceMonitor::PnpStatusNotifyCallback(context, type, setting);
}

// Must outlive the registration: the system keeps a pointer to it.
DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS g_Subscription{PowerThunk, nullptr};

}  // namespace

BOOL WINAPI ConsoleControlHandler(DWORD ctrlType) { return DeviceMonitor::HandlerPCRoutine(ctrlType); }

// Resolved at run time: systems before Windows 8 lack the call, and then the status
// simply stays RESUMED.
void DeviceMonitor::RegisterPowerNotification() {
    const auto registerNotification =
        ResolvePower<QuarnCompat::PowerRegisterSuspendResumeNotificationFn>("PowerRegisterSuspendResumeNotification");
    if (registerNotification != nullptr) {
        registerNotification(DEVICE_NOTIFY_CALLBACK, &g_Subscription, &PowerNotificationHandle);
    }
}

void DeviceMonitor::UnRegisterPowerNotification() {
    LOG_INFO("[INFO] DeviceMonitor::UnRegisterPowerNotification : ++\n");
    if (PowerNotificationHandle != nullptr) {
        const auto unregisterNotification = ResolvePower<QuarnCompat::PowerUnregisterSuspendResumeNotificationFn>(
            "PowerUnregisterSuspendResumeNotification");
        if (unregisterNotification != nullptr) {
            unregisterNotification(PowerNotificationHandle);
        }
        PowerNotificationHandle = nullptr;
    }
    LOG_INFO("[INFO] DeviceMonitor::UnRegisterPowerNotification : --\n");
}

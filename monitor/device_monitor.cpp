#include "monitor/device_monitor.h"

#include "trace/trace.h"

int DeviceMonitor::InitializeMonitor(uint32_t /*slot*/, const QuarnGuid& /*interfaceClass*/,
                                     const wchar_t* /*hardwareId*/, const wchar_t* /*deviceName*/) {
    return 1;
}

ModulePlatform DeviceMonitor::GetCurrentModulePlatform() { return PLATFORM_INVALID; }

QuarnBool QUARN_STDCALL DeviceMonitor::HandlerPCRoutine(QuarnDword /*ctrlType*/) { return 0; }

void DeviceMonitor::RegisterPowerNotification() {}

void DeviceMonitor::UnRegisterPowerNotification() {
    LOG_INFO("[INFO] DeviceMonitor::UnRegisterPowerNotification : ++\n");
    LOG_INFO("[INFO] DeviceMonitor::UnRegisterPowerNotification : --\n");
}

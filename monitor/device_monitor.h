// Which modem is present: the 4G USB modem (slot 0) and the 5G PCIe modem (slot 1).
#pragma once

#include <cstdint>

#include "common/platform_types.h"

using ModulePlatform = uint32_t;
constexpr ModulePlatform PLATFORM_INVALID = 0;
constexpr ModulePlatform PLATFORM_4G = 1;
constexpr ModulePlatform PLATFORM_5G = 2;

constexpr uint32_t DEVICE_SLOT_4G = 0;
constexpr uint32_t DEVICE_SLOT_5G = 1;

class DeviceMonitor {
public:
    // Starts watching `interfaceClass` for an interface whose path holds `hardwareId`.
    static int InitializeMonitor(uint32_t slot, const QuarnGuid& interfaceClass, const wchar_t* hardwareId,
                                 const wchar_t* deviceName);
    // PLATFORM_5G when the 5G modem is present, else PLATFORM_4G when the 4G one is.
    static ModulePlatform GetCurrentModulePlatform();

    // Console control events (logoff, shutdown) and power suspend/resume.
    static QuarnBool QUARN_STDCALL HandlerPCRoutine(QuarnDword ctrlType);
    static void RegisterPowerNotification();
    static void UnRegisterPowerNotification();
};

// Which modem platform is present: the value the device monitor answers and the AT commands
// take (unsigned 32-bit). When both modems are present the answer is 5G.
#pragma once

#include <cstdint>

using ModulePlatform = uint32_t;
constexpr ModulePlatform PLATFORM_INVALID = 0;  // neither modem
constexpr ModulePlatform PLATFORM_4G = 1;       // the USB modem
constexpr ModulePlatform PLATFORM_5G = 2;       // the PCIe modem

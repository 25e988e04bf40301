// Whether the machine is suspended, as the power notifications last said. Read unlocked by
// every thread that asks for a SIM status decision.
#pragma once

#include <atomic>
#include <cstdint>

constexpr uint32_t RESUMED = 0;
constexpr uint32_t SUSPENDED = 1;

extern std::atomic<uint32_t> m_DevicePowerStatus;

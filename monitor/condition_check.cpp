#include "monitor/condition_check.h"

#include <stdexcept>

#include "common/hresult_error.h"
#include "common/tray_icon_messages.h"
#include "monitor/power_status.h"
#include "trace/trace.h"

std::atomic<uint32_t> m_DevicePowerStatus{RESUMED};

namespace {
// True on the worker's thread while it decides: a request made there comes from the
// decision's own calls.
thread_local bool t_Deciding = false;
}  // namespace

bool IsSimBearingStatus(int32_t networkDeviceStatus) {
    // DeviceReady, BadSim, DeviceHardwareFailure, DeviceLocked, DeviceBlocked.
    switch (networkDeviceStatus) {
    case 1:
    case 3:
    case 4:
    case 6:
    case 7:
        return true;
    default:
        return false;
    }
}

ConditionCheck::ConditionCheck(std::unique_ptr<SimStatusEvent> event, const SimStatusPorts& ports)
    : m_Event_SimStatus(std::move(event)), m_Ports(ports) {}

void ConditionCheck::HandleUpdateSimStatusEventOnce() {
    LOG_INFO("[INFO] ConditionCheck::HandleUpdateSimStatusEvent : Waiting event: m_Event_SimStatus\n");
    if (!m_Event_SimStatus || !m_Event_SimStatus->Wait()) {
        m_Ports.Pause->SleepMs(SIM_STATUS_WAIT_FAILURE_MS);
        return;
    }
    LOG_INFO("[INFO] ConditionCheck::HandleUpdateSimStatusEvent : Received event: m_Event_SimStatus\n");
    m_Ports.Pause->SleepMs(SIM_STATUS_SETTLE_MS);
    LOG_INFO("[INFO] ConditionCheck::HandleUpdateSimStatusEvent : Waiting all end\n");
    if (m_DevicePowerStatus != RESUMED) {
        LOG_INFO("[INFO] ConditionCheck::HandleUpdateSimStatusEvent : Skip this time UpdateSystemTrayIconStatus as m_DevicePowerStatus is not RESUMED!\n");
        return;
    }
    // The hide message plus the decision: 1026 hides, 1027 shows.
    const uint64_t requestsBefore = m_Requests.load();
    t_Deciding = true;
    const uint32_t message = WM_HIDE_ICON_CMD + UpdateSystemTrayIconStatus();
    t_Deciding = false;
    ResetEventSimStatus();
    // The reset absorbs the requests made while the pass settled: the decision read the
    // state after them. One made during the decision by another thread may carry a change
    // it did not read (an eject, a modem arriving), so it is asked for again, however many
    // passes in a row. One that the decision's own calls made on this thread is not counted:
    // asking again for it would decide for ever.
    if (m_Requests.load() != requestsBefore) {
        TriggerUpdateSystemTrayIconStatus();
    }
    LOG_INFO("[INFO] ConditionCheck::HandleUpdateSimStatusEvent : SendMessage: %d\n", static_cast<int>(message));
    m_Ports.Window->SendToAppWindow(message);
}

void ConditionCheck::ResetEventSimStatus() {
    if (!m_Event_SimStatus) {
        LOG_ERROR("[ERROR] ConditionCheck::ResetEventSimStatus : %s: m_Event_SimStatus is null!\n",
                  "ConditionCheck::ResetEventSimStatus");
        return;
    }
    LOG_INFO("[INFO] ConditionCheck::ResetEventSimStatus : Reset event: m_Event_SimStatus\n");
    m_Event_SimStatus->Reset();
}

TrayIconStatus ConditionCheck::UpdateSystemTrayIconStatus() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Ports.Apartment->JoinMultithreadedApartment();
    bool result = false;
    for (int attempt = 0; attempt < SIM_STATUS_DECISION_ATTEMPTS; ++attempt) {
        LOG_WARNING("[WARNING] ConditionCheck::UpdateSystemTrayIconStatus : %d/%d\n", attempt,
                    SIM_STATUS_DECISION_ATTEMPTS);
        try {
            const int32_t status = m_Ports.Modem->ReadNetworkDeviceStatus();
            const ModulePlatform platform = DeviceMonitor::GetCurrentModulePlatform();
            if (platform == PLATFORM_INVALID) {
                throw std::runtime_error("platform is invalid");
            }
            LOG_INFO("[INFO] ConditionCheck::UpdateSystemTrayIconStatus : SimStatus: %d, platform: %d\n",
                     static_cast<int>(status), static_cast<int>(platform));
            if (IsSimBearingStatus(status)) {
                result = IsSimSlotOne(platform);
            }
            break;
        } catch (const std::runtime_error& e) {
            LOG_ERROR("[ERROR] ConditionCheck::UpdateSystemTrayIconStatus : Catch runtime_error: %s\n", e.what());
        } catch (const std::exception& e) {
            LOG_ERROR("[ERROR] ConditionCheck::UpdateSystemTrayIconStatus : Catch exception: %s\n", e.what());
        } catch (...) {
            LOG_ERROR("[ERROR] ConditionCheck::UpdateSystemTrayIconStatus : Catch unknown exception\n");
        }
        m_Ports.Pause->SleepMs(SIM_STATUS_RETRY_MS);
    }
    return result ? TRAY_ICON_SHOW : TRAY_ICON_HIDE;
}

bool ConditionCheck::IsSimSlotOne(ModulePlatform platform) {
    uint32_t slot = 0;
    for (int failures = 0; m_Ports.Slots->GetSimSlot(&slot, platform) != QUARN_S_OK;) {
        m_Ports.Pause->SleepMs(SIM_STATUS_RETRY_MS);
        ++failures;
        LOG_WARNING("[WARNING] ConditionCheck::IsSimSlotOne : GetSimSlot FAILED! retry %d/%d\n", failures,
                    SIM_SLOT_QUERY_RETRIES);
        if (failures > SIM_SLOT_QUERY_RETRIES) {
            break;
        }
    }
    return slot == 1;
}

void ConditionCheck::TriggerUpdateSystemTrayIconStatus() {
    if (!m_Event_SimStatus) {
        LOG_ERROR("[ERROR] ConditionCheck::TriggerUpdateSystemTrayIconStatus : %s: m_Event_SimStatus is null!\n",
                  "ConditionCheck::TriggerUpdateSystemTrayIconStatus");
        return;
    }
    if (m_DevicePowerStatus == SUSPENDED) {
        LOG_ERROR("[ERROR] ConditionCheck::TriggerUpdateSystemTrayIconStatus : %s: m_DevicePowerStatus is SUSPENDED!\n",
                  "ConditionCheck::TriggerUpdateSystemTrayIconStatus");
        return;
    }
    LOG_INFO("[INFO] ConditionCheck::TriggerUpdateSystemTrayIconStatus : Set event: m_Event_SimStatus\n");
    if (!t_Deciding) {
        ++m_Requests;
    }
    m_Event_SimStatus->Set();
}

void ConditionCheck::PowerOnSimOn4GPlatform() {
    static constexpr const char* kName = "ConditionCheck::PowerOnSimOn4GPlatform";
    LOG_INFO("[INFO] ConditionCheck::PowerOnSimOn4GPlatform : %s ++\n", kName);
    if (DeviceMonitor::GetCurrentModulePlatform() != PLATFORM_4G) {
        LOG_INFO("[INFO] ConditionCheck::PowerOnSimOn4GPlatform : %s: Not a 4G platform. No action taken.\n", kName);
    } else {
        const QuarnHresult result = MBIMCommand::SendPowerOnSimCard();
        if (result < 0) {
            LOG_WARNING("[WARNING] ConditionCheck::PowerOnSimOn4GPlatform : %s: Failed to send power on sim command. Error code: 0x%X\n",
                        kName, static_cast<unsigned>(result));
        } else {
            LOG_INFO("[INFO] ConditionCheck::PowerOnSimOn4GPlatform : %s: Power on sim command sent successfully\n", kName);
        }
    }
    LOG_INFO("[INFO] ConditionCheck::PowerOnSimOn4GPlatform : %s --\n", kName);
}

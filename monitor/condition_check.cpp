#include "monitor/condition_check.h"

#include "modem/mbim_command.h"
#include "monitor/device_monitor.h"
#include "monitor/power_status.h"
#include "trace/trace.h"

std::atomic<uint32_t> m_DevicePowerStatus{RESUMED};

ConditionCheck::ConditionCheck(std::unique_ptr<SimStatusEvent> event) : m_Event_SimStatus(std::move(event)) {}

TrayIconStatus ConditionCheck::UpdateSystemTrayIconStatus() { return TRAY_ICON_HIDE; }

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

unsigned QUARN_STDCALL HandleUpdateSimStatusEvent(void* /*argument*/) { return 0; }

#include "monitor/condition_check.h"

ConditionCheck& ConditionCheck::GetInstance() {
    static ConditionCheck instance;
    return instance;
}

TrayIconStatus ConditionCheck::UpdateSystemTrayIconStatus() { return TRAY_ICON_HIDE; }

void ConditionCheck::TriggerUpdateSystemTrayIconStatus() {}

void ConditionCheck::PowerOnSimOn4GPlatform() {}

unsigned QUARN_STDCALL HandleUpdateSimStatusEvent(void* /*argument*/) { return 0; }

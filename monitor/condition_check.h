// The SIM status decision: whether an ejectable SIM is in use, so the icon shows. Every
// subsystem that sees a change asks for a new decision through one auto-reset event.
#pragma once

#include <cstdint>
#include <memory>

#include "common/platform_types.h"

// 1 when an ejectable SIM is in use; the worker's window message is 1026 plus this value.
using TrayIconStatus = uint32_t;
constexpr TrayIconStatus TRAY_ICON_HIDE = 0;
constexpr TrayIconStatus TRAY_ICON_SHOW = 1;

// The auto-reset event behind m_Event_SimStatus (CreateEventW on Windows).
class SimStatusEvent {
public:
    virtual ~SimStatusEvent() = default;
    virtual void Set() = 0;
    virtual void Reset() = 0;
};

class ConditionCheck {
public:
    explicit ConditionCheck(std::unique_ptr<SimStatusEvent> event);
    ConditionCheck(const ConditionCheck&) = delete;
    ConditionCheck& operator=(const ConditionCheck&) = delete;

    // The process-wide instance with its event (defined by the Windows adapter).
    static ConditionCheck& GetInstance();

    // A decision on the calling thread. Without a modem status source there is no SIM in
    // use, so the answer is to hide.
    TrayIconStatus UpdateSystemTrayIconStatus();
    // Asks the worker for a new decision; safe from any thread. Dropped while suspended.
    void TriggerUpdateSystemTrayIconStatus();
    // Powers the SIM on when the 4G modem is present; waits for the modem on the caller's thread.
    static void PowerOnSimOn4GPlatform();

    std::unique_ptr<SimStatusEvent> m_Event_SimStatus;
};

// Body of the SIM status worker thread.
unsigned QUARN_STDCALL HandleUpdateSimStatusEvent(void* argument);

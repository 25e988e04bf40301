#include "monitor/condition_check.h"

#include <stdexcept>

#include "common/hresult_error.h"
#include "common/tray_icon_messages.h"
#include "monitor/power_status.h"
#include "trace/trace.h"

std::atomic<uint32_t> m_DevicePowerStatus{RESUMED};

namespace {
// True on the worker's thread while it decides: a request made there comes from the
// decision's own calls, which the decision answers itself.
thread_local bool t_Deciding = false;
}  // namespace

SimStatusWorkerStep NextSimStatusWorkerStep(SimStatusWorkerState state, int keptPasses, SimStatusWorkerEvent event) {
    using State = SimStatusWorkerState;
    using Event = SimStatusWorkerEvent;
    using Action = SimStatusWorkerAction;
    const bool deciding = state == State::Deciding || state == State::DecidingAsked;
    switch (event) {
    case Event::Requested:
        // A decision under way may have read the facts before the change: keep a pass for it.
        return {deciding ? State::DecidingAsked : State::Waiting, keptPasses, Action::None};
    case Event::RequestedWhileSuspended:
        // During a decision it is asked again when the decision ends, and held then.
        return {deciding ? State::DecidingAsked : State::Held, keptPasses, Action::None};
    case Event::PassSkipped:
        return {deciding ? state : State::Held, keptPasses, Action::None};
    case Event::Resumed:
        return state == State::Held ? SimStatusWorkerStep{State::Waiting, keptPasses, Action::AskAgain}
                                    : SimStatusWorkerStep{state, keptPasses, Action::None};
    case Event::DecisionBegan:
        // A held request is answered by a decision that reads the facts from now on.
        return {deciding ? state : State::Deciding, keptPasses, Action::None};
    case Event::DecisionEnded:
        if (state == State::DecidingAsked) {
            return keptPasses < SIM_STATUS_KEPT_PASSES
                       ? SimStatusWorkerStep{State::Waiting, keptPasses + 1, Action::AskAgain}
                       : SimStatusWorkerStep{State::Waiting, 0, Action::GiveUp};
        }
        return {state == State::Deciding ? State::Waiting : state, state == State::Deciding ? 0 : keptPasses,
                Action::None};
    }
    return {state, keptPasses, Action::None};
}

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
    if (!BeginDecision()) {
        LOG_INFO("[INFO] ConditionCheck::HandleUpdateSimStatusEvent : Skip this time UpdateSystemTrayIconStatus as m_DevicePowerStatus is not RESUMED!\n");
        return;
    }
    // The hide message plus the decision: 1026 hides, 1027 shows.
    t_Deciding = true;
    const uint32_t message = WM_HIDE_ICON_CMD + UpdateSystemTrayIconStatus();
    t_Deciding = false;
    // The reset absorbs the requests made while the pass settled: the decision read the
    // state after them. Those made during the decision are kept by the machine, which is
    // told after the reset so that none falls between the two.
    ResetEventSimStatus();
    switch (Apply(SimStatusWorkerEvent::DecisionEnded)) {
    case SimStatusWorkerAction::AskAgain:
        TriggerUpdateSystemTrayIconStatus();
        break;
    case SimStatusWorkerAction::GiveUp:
        LOG_WARNING("[WARNING] ConditionCheck::HandleUpdateSimStatusEvent : %s: asked again during %d decisions in a row, "
                    "no further pass\n",
                    "ConditionCheck::HandleUpdateSimStatusEvent", SIM_STATUS_KEPT_PASSES + 1);
        break;
    case SimStatusWorkerAction::None:
        break;
    }
    LOG_INFO("[INFO] ConditionCheck::HandleUpdateSimStatusEvent : SendMessage: %d\n", static_cast<int>(message));
    m_Ports.Window->SendToAppWindow(message);
}

SimStatusWorkerAction ConditionCheck::ApplyLocked(SimStatusWorkerEvent event) {
    const SimStatusWorkerStep step = NextSimStatusWorkerStep(m_State, m_KeptPasses, event);
    m_State = step.State;
    m_KeptPasses = step.KeptPasses;
    return step.Action;
}

SimStatusWorkerAction ConditionCheck::Apply(SimStatusWorkerEvent event) {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    return ApplyLocked(event);
}

bool ConditionCheck::BeginDecision() {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    const bool resumed = m_DevicePowerStatus == RESUMED;
    ApplyLocked(resumed ? SimStatusWorkerEvent::DecisionBegan : SimStatusWorkerEvent::PassSkipped);
    return resumed;
}

void ConditionCheck::ReleaseHeldRequest() {
    if (Apply(SimStatusWorkerEvent::Resumed) == SimStatusWorkerAction::AskAgain) {
        TriggerUpdateSystemTrayIconStatus();
    }
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
    bool suspended = false;
    {
        // Read with the step, so that a resume either comes first or finds the request held.
        std::lock_guard<std::mutex> lock(m_StateMutex);
        suspended = m_DevicePowerStatus == SUSPENDED;
        if (!t_Deciding) {
            ApplyLocked(suspended ? SimStatusWorkerEvent::RequestedWhileSuspended : SimStatusWorkerEvent::Requested);
        }
    }
    if (suspended) {
        LOG_ERROR("[ERROR] ConditionCheck::TriggerUpdateSystemTrayIconStatus : %s: m_DevicePowerStatus is SUSPENDED!\n",
                  "ConditionCheck::TriggerUpdateSystemTrayIconStatus");
        return;
    }
    LOG_INFO("[INFO] ConditionCheck::TriggerUpdateSystemTrayIconStatus : Set event: m_Event_SimStatus\n");
    m_Event_SimStatus->Set();
}

void ConditionCheck::PowerOnSimOn4GPlatform() { PowerOnSimOn4GPlatform(nullptr); }

void ConditionCheck::PowerOnSimOn4GPlatformUnlessEjectedSince(uint32_t ejectCount) {
    PowerOnSimOn4GPlatform(&ejectCount);
}

void ConditionCheck::PowerOnSimOn4GPlatform(const uint32_t* unlessEjectedSince) {
    static constexpr const char* kName = "ConditionCheck::PowerOnSimOn4GPlatform";
    LOG_INFO("[INFO] ConditionCheck::PowerOnSimOn4GPlatform : %s ++\n", kName);
    if (DeviceMonitor::GetCurrentModulePlatform() != PLATFORM_4G) {
        LOG_INFO("[INFO] ConditionCheck::PowerOnSimOn4GPlatform : %s: Not a 4G platform. No action taken.\n", kName);
    } else {
        const QuarnHresult result = unlessEjectedSince != nullptr
                                        ? MBIMCommand::SendPowerOnSimCardUnlessEjectedSince(*unlessEjectedSince)
                                        : MBIMCommand::SendPowerOnSimCard();
        if (result == QUARN_S_FALSE) {
            // The user ejected the SIM after the event that asked: it stays off.
        } else if (result < 0) {
            LOG_WARNING("[WARNING] ConditionCheck::PowerOnSimOn4GPlatform : %s: Failed to send power on sim command. Error code: 0x%X\n",
                        kName, static_cast<unsigned>(result));
        } else {
            LOG_INFO("[INFO] ConditionCheck::PowerOnSimOn4GPlatform : %s: Power on sim command sent successfully\n", kName);
        }
    }
    LOG_INFO("[INFO] ConditionCheck::PowerOnSimOn4GPlatform : %s --\n", kName);
}

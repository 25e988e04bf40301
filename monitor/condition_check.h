// The SIM status decision: whether an ejectable SIM is in use, so the icon shows. Every
// subsystem that sees a change asks for a new decision through one auto-reset event; the
// worker thread decides and tells the hidden window.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "common/platform_types.h"
#include "modem/mbim_command.h"
#include "monitor/device_monitor.h"

// 1 when an ejectable SIM is in use; the worker's window message is 1026 plus this value.
using TrayIconStatus = uint32_t;
constexpr TrayIconStatus TRAY_ICON_HIDE = 0;
constexpr TrayIconStatus TRAY_ICON_SHOW = 1;

constexpr uint32_t SIM_STATUS_SETTLE_MS = 500;         // lets a burst of requests become one pass
constexpr uint32_t SIM_STATUS_WAIT_FAILURE_MS = 10000;
constexpr int SIM_STATUS_DECISION_ATTEMPTS = 3;
constexpr uint32_t SIM_STATUS_RETRY_MS = 1000;
constexpr int SIM_SLOT_QUERY_RETRIES = 3;               // after the first query
// Passes kept in a row for requests made during the decision before them. A decision whose
// own calls make the system ask again on another thread would otherwise decide for ever.
constexpr int SIM_STATUS_KEPT_PASSES = 3;

// Where the worker stands with the requests made of it.
enum class SimStatusWorkerState {
    Waiting,        // no decision under way: the next pass answers a request
    Held,           // a request came, or a pass was skipped, while suspended: asked again on resume
    Deciding,       // a decision under way, nothing asked since it began
    DecidingAsked,  // a decision under way, asked again since it began: it may not have read the change
};
enum class SimStatusWorkerEvent {
    Requested,                // a request while the machine is resumed
    RequestedWhileSuspended,  // a request refused because the machine is suspended
    PassSkipped,              // the worker woke while suspended and did not decide
    Resumed,
    DecisionBegan,
    DecisionEnded,
};
enum class SimStatusWorkerAction {
    None,
    AskAgain,  // one more pass, asked for through the trigger
    GiveUp,    // the run of kept passes is at its bound: the request counts as answered
};
struct SimStatusWorkerStep {
    SimStatusWorkerState State;
    int KeptPasses;  // passes kept in a row so far
    SimStatusWorkerAction Action;
};
SimStatusWorkerStep NextSimStatusWorkerStep(SimStatusWorkerState state, int keptPasses, SimStatusWorkerEvent event);

// The auto-reset event behind m_Event_SimStatus (CreateEventW on Windows).
class SimStatusEvent {
public:
    virtual ~SimStatusEvent() = default;
    virtual void Set() = 0;
    virtual void Reset() = 0;
    // Waits without end; false when the wait itself failed.
    virtual bool Wait() = 0;
};

// The default modem's NetworkDeviceStatus. Throws std::runtime_error("No modem object")
// when there is no modem, HresultError when the system call fails.
class ModemStatusReader {
public:
    virtual ~ModemStatusReader() = default;
    virtual int32_t ReadNetworkDeviceStatus() = 0;
};

// Which SIM slot is active (MBIMCommand::GetSimSlot on the machine).
class SimSlotQuery {
public:
    virtual ~SimSlotQuery() = default;
    virtual QuarnHresult GetSimSlot(uint32_t* slot, ModulePlatform platform) = 0;
};

// Sends the hidden window a message and waits until it was handled; a window that does
// not exist yet loses it.
class WindowMessenger {
public:
    virtual ~WindowMessenger() = default;
    virtual void SendToAppWindow(uint32_t message) = 0;
};

struct SimStatusPorts {
    ModemStatusReader* Modem;
    SimSlotQuery* Slots;
    Sleeper* Pause;
    WindowMessenger* Window;
    ComApartment* Apartment;
};

class ConditionCheck {
public:
    ConditionCheck(std::unique_ptr<SimStatusEvent> event, const SimStatusPorts& ports);
    ConditionCheck(const ConditionCheck&) = delete;
    ConditionCheck& operator=(const ConditionCheck&) = delete;

    // The process-wide instance with its event (defined by the Windows adapter).
    static ConditionCheck& GetInstance();

    // The decision, on the calling thread; serialised between the worker and the window.
    TrayIconStatus UpdateSystemTrayIconStatus();
    // Asks the worker for a new decision; safe from any thread. Dropped while suspended.
    void TriggerUpdateSystemTrayIconStatus();
    // Drops requests that came while a pass settled. Only the worker calls it.
    void ResetEventSimStatus();
    // The machine resumed: asks for the pass held back while it was suspended, if any.
    void ReleaseHeldRequest();
    // Powers the SIM on when the 4G modem is present; waits for the modem on the caller's thread.
    static void PowerOnSimOn4GPlatform();
    // The same for an event that took MBIMCommand::SimEjectCount() when it came: nothing is
    // sent once the user has ejected the SIM since.
    static void PowerOnSimOn4GPlatformUnlessEjectedSince(uint32_t ejectCount);

    // One turn of the worker: wait for a request, settle, decide, tell the window.
    void HandleUpdateSimStatusEventOnce();

    std::unique_ptr<SimStatusEvent> m_Event_SimStatus;
    std::mutex m_Mutex;

private:
    static void PowerOnSimOn4GPlatform(const uint32_t* unlessEjectedSince);
    bool IsSimSlotOne(ModulePlatform platform);
    // Takes the machine through `event` and returns what to do (Locked: m_StateMutex is held).
    SimStatusWorkerAction Apply(SimStatusWorkerEvent event);
    SimStatusWorkerAction ApplyLocked(SimStatusWorkerEvent event);
    // The worker's wake-up: a decision begins, or, while suspended, the pass is skipped and
    // its request held (false). The power status is read under the state lock, so a resume
    // either comes before it or finds the request held.
    bool BeginDecision();

    SimStatusPorts m_Ports;
    std::mutex m_StateMutex;  // held only to step the machine, never across a call out
    SimStatusWorkerState m_State = SimStatusWorkerState::Waiting;
    int m_KeptPasses = 0;
};

// Body of the SIM status worker thread: never returns.
unsigned QUARN_STDCALL HandleUpdateSimStatusEvent(void* argument);

// NetworkDeviceStatus values under which the modem holds a SIM.
bool IsSimBearingStatus(int32_t networkDeviceStatus);

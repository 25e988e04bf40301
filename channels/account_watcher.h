// The mobile broadband account watcher: account events ask for a new SIM status decision,
// and its first enumeration gates start-up.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "monitor/device_monitor.h"

// MobileBroadbandAccountWatcherStatus.
constexpr int ACCOUNT_WATCHER_CREATED = 0;
constexpr int ACCOUNT_WATCHER_STARTED = 1;
constexpr int ACCOUNT_WATCHER_ENUMERATION_COMPLETED = 2;
constexpr int ACCOUNT_WATCHER_STOPPED = 3;
constexpr int ACCOUNT_WATCHER_ABORTED = 4;

constexpr uint32_t ACCOUNT_WATCHER_TARGET_STOP = 0;
constexpr uint32_t ACCOUNT_WATCHER_TARGET_START = 1;

// Which event ended a wait for the first enumeration: none within the time, or the first of
// EnumerationCompleted and Stopped.
enum class EnumerationEnd { None, Completed, Stopped };

// The watcher object (the Windows Runtime class on the machine). Failures throw.
class AccountWatcherPort {
public:
    virtual ~AccountWatcherPort() = default;
    virtual int Status() = 0;
    // Attaches the five handlers below: AccountAdded, AccountUpdated, AccountRemoved,
    // EnumerationCompleted, Stopped, in this order.
    virtual void AttachHandlers() = 0;
    virtual void Start() = 0;
    virtual void Stop() = 0;
    // Waits at most timeoutMs for the first enumeration to end, by the EnumerationCompleted
    // or the Stopped event; returns at once when one came already, also before this call.
    // Says which came first.
    virtual EnumerationEnd WaitForEnumerationEnd(uint32_t timeoutMs) = 0;
    // Replaces the object by a new one of the class, its handlers not attached: a watcher
    // that its service ended stays ended. A failed creation leaves one that reports Aborted.
    virtual void Recreate() = 0;
};

// Starts (target 1) or stops (target 0) the watcher; returns its status afterwards.
int HandleMobileBroadbandAccountWatcher(AccountWatcherPort& watcher, uint32_t target);

// How long start-up waits for a first enumeration that Start did not wait for. At logon the
// mobile broadband service starts on demand, and with the disk busy its first enumeration
// has been seen to come 30 s after Start; the service control manager itself gives a
// starting service 30 s. Twice that: a watcher still enumerating after 60 s is taken as
// stuck, and start-up ends as it does for one that fails. The wait ends as soon as either
// event comes, so a watcher that aborts or is refused ends start-up at once.
constexpr uint32_t ACCOUNT_ENUMERATION_WAIT_MS = 60000;

// Start-up's gate: starts the watcher and waits up to waitMs for its first enumeration.
// True once it completed (by its status, or by its EnumerationCompleted event, which may
// come before the status says so); otherwise logs the fatal line, and start-up goes to
// tear-down.
bool StartAccountWatcherAtStartUp(AccountWatcherPort& watcher, uint32_t waitMs);

// The pauses between restarts of a watcher that its service ended. False when the program
// is ending and the pause was cut short: the restarts are given up.
class RestartPause {
public:
    virtual ~RestartPause() = default;
    virtual bool PauseMs(uint32_t milliseconds) = 0;
    // Cuts the pause under way, and every later one, short.
    virtual void EndPauses() = 0;
};

// The service's other client in the process (the Mobile Broadband wrapper): after a restart
// of the service it drops the objects the old one gave it and connects again. True once it
// is connected again, or has nothing to connect to.
class ServiceReconnect {
public:
    virtual ~ServiceReconnect() = default;
    virtual bool ReconnectAfterServiceRestart() = 0;
};

// The pause before restart n (0 first): 1, 2, 4 ... seconds, at most 60.
uint32_t RestartBackOffMs(uint32_t restart);

// Brings the service's clients back when the watcher ends on its own: its service stopped
// or restarted (a driver update, a failure, a resume). Each restart makes a new watcher,
// starts it with its handlers, then reconnects the wrapper, after a back-off; once both
// are back, a new decision is asked for, which the service's absence may have failed.
class AccountWatcherRecovery {
public:
    AccountWatcherRecovery(AccountWatcherPort& watcher, RestartPause& pause, ServiceReconnect& reconnect);

    // From now a Stopped event is the service's doing (start-up arms it before its gate; a
    // stop that fails the gate leaves the recovery's thread unstarted).
    void Arm();
    // From the Stopped handler, on the runtime's thread: returns at once.
    void OnStopped();
    // Waits for a stop, then restarts until all is back (true) or the program ends (false).
    // The recovery thread's body calls it until it returns false.
    bool RecoverOnce();
    // Before the program's own Stop: no restart from now, and one under way has ended when
    // this returns (a restart is bounded by the watcher's Start).
    void EndForExit();

private:
    bool WaitForStop();
    bool TryRestart(uint32_t restart);

    AccountWatcherPort& m_Watcher;
    RestartPause& m_Pause;
    ServiceReconnect& m_Reconnect;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Armed = false;
    bool m_Ending = false;
    bool m_StopPending = false;
    bool m_Restarting = false;
    uint32_t m_NextRestart = 0;
};

// Where the Stopped handler reports a watcher that ended; start-up attaches its recovery.
void AttachAccountWatcherRecovery(AccountWatcherRecovery* recovery);

// The event arguments as the handlers read them; reading may throw.
class AccountEventArgs {
public:
    virtual ~AccountEventArgs() = default;
    virtual std::wstring NetworkAccountId() = 0;
};

class AccountUpdatedEventArgs : public AccountEventArgs {
public:
    virtual bool HasNetworkChanged() = 0;
    virtual bool HasDeviceInformationChanged() = 0;
};

// Where the handlers' requests for a decision go; start-up attaches ConditionCheck.
void AttachAccountWatcherRequests(SimStatusRequests* requests);

void AccountAddedHandler(AccountEventArgs& args);
void AccountUpdatedHandler(AccountUpdatedEventArgs& args);
void AccountRemovedHandler(AccountEventArgs& args);
void EnumerationCompletedHandler();
void AccountWatcherStoppedHandler();

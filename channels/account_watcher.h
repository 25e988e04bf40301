// The mobile broadband account watcher: account events ask for a new SIM status decision,
// and its first enumeration gates start-up.
#pragma once

#include <cstdint>
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
    virtual void WaitForEnumerationEnd(uint32_t timeoutMs) = 0;
};

// Starts (target 1) or stops (target 0) the watcher; returns its status afterwards.
int HandleMobileBroadbandAccountWatcher(AccountWatcherPort& watcher, uint32_t target);

// How long start-up waits for a first enumeration that Start did not wait for. At logon
// the mobile broadband service may still be starting and enumerate late: seconds, not
// minutes. 10 s covers that on a loaded machine too, and is the span that the tray icon's
// ten one-second add attempts give the shell at logon; a watcher still enumerating then is
// taken as stuck, and start-up ends as it does for one that fails.
constexpr uint32_t ACCOUNT_ENUMERATION_WAIT_MS = 10000;

// Start-up's gate: starts the watcher and waits up to waitMs for its first enumeration.
// True once it completed; otherwise logs the fatal line, and start-up goes to tear-down.
bool StartAccountWatcherAtStartUp(AccountWatcherPort& watcher, uint32_t waitMs);

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

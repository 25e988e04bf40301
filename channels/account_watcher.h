// The mobile broadband account watcher: account events wake the SIM status worker, and
// its first enumeration gates start-up.
#pragma once

#include <cstdint>

// MobileBroadbandAccountWatcherStatus.
enum class AccountWatcherStatus : int {
    Created = 0,
    Started = 1,
    EnumerationCompleted = 2,
    Stopped = 3,
    Aborted = 4,
};

constexpr uint32_t ACCOUNT_WATCHER_TARGET_STOP = 0;
constexpr uint32_t ACCOUNT_WATCHER_TARGET_START = 1;

// The watcher object that start-up owns for the life of the main function.
class AccountWatcher {
public:
    AccountWatcherStatus Status() const { return m_Status; }
    void SetStatus(AccountWatcherStatus status) { m_Status = status; }

private:
    AccountWatcherStatus m_Status = AccountWatcherStatus::Created;
};

// Starts (target 1) or stops (target 0) the watcher; returns its status afterwards.
int HandleMobileBroadbandAccountWatcher(AccountWatcher& watcher, uint32_t target);

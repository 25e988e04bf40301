#include "channels/account_watcher.h"

// With no account source there is nothing to enumerate: a start completes at once.
int HandleMobileBroadbandAccountWatcher(AccountWatcher& watcher, uint32_t target) {
    if (target == ACCOUNT_WATCHER_TARGET_START) {
        watcher.SetStatus(AccountWatcherStatus::EnumerationCompleted);
    } else if (target == ACCOUNT_WATCHER_TARGET_STOP) {
        watcher.SetStatus(AccountWatcherStatus::Stopped);
    }
    return static_cast<int>(watcher.Status());
}

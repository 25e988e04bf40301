#include "channels/account_watcher.h"

#include <exception>

#include "trace/trace.h"

namespace {

SimStatusRequests* g_Requests = nullptr;

void Trigger() {
    if (g_Requests != nullptr) {
        g_Requests->TriggerUpdateSystemTrayIconStatus();
    }
}

bool IsRunning(int status) {
    return status == ACCOUNT_WATCHER_STARTED || status == ACCOUNT_WATCHER_ENUMERATION_COMPLETED;
}

}  // namespace

void AttachAccountWatcherRequests(SimStatusRequests* requests) { g_Requests = requests; }

int HandleMobileBroadbandAccountWatcher(AccountWatcherPort& watcher, uint32_t target) {
    static constexpr const char* kName = "HandleMobileBroadbandAccountWatcher";
    const int current = watcher.Status();
    LOG_INFO("[INFO] HandleMobileBroadbandAccountWatcher : AccountWatcher current status: %d, target status: %d\n",
             current, static_cast<int>(target));
    if (target == ACCOUNT_WATCHER_TARGET_START) {
        if (watcher.Status() == ACCOUNT_WATCHER_STARTED || watcher.Status() == ACCOUNT_WATCHER_ENUMERATION_COMPLETED) {
            LOG_INFO("[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher already started.\n");
        } else {
            try {
                watcher.AttachHandlers();
                LOG_INFO("[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher to Start\n");
                watcher.Start();
                LOG_INFO("[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher is started.\n");
            } catch (const std::exception& e) {
                LOG_ERROR("[ERROR] HandleMobileBroadbandAccountWatcher : Catch exception: %s\n", e.what());
            } catch (...) {
                LOG_ERROR("[ERROR] HandleMobileBroadbandAccountWatcher : %s: Catch unknown exception.\n", kName);
            }
        }
    } else if (target == ACCOUNT_WATCHER_TARGET_STOP) {
        // The handlers stay attached; the watcher object goes with them.
        if (IsRunning(current)) {
            LOG_INFO("[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher to Stop\n");
            watcher.Stop();
            LOG_INFO("[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher is stopped.\n");
        } else {
            LOG_INFO("[INFO] HandleMobileBroadbandAccountWatcher : NetworkAccountWatcher already stopped.\n");
        }
    }
    try {
        return watcher.Status();
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] HandleMobileBroadbandAccountWatcher : Catch exception: %s\n", e.what());
    } catch (...) {
        LOG_ERROR("[ERROR] HandleMobileBroadbandAccountWatcher : %s: Catch unknown exception.\n", kName);
    }
    return watcher.Status();
}

bool StartAccountWatcherAtStartUp(AccountWatcherPort& watcher, uint32_t waitMs) {
    int status = HandleMobileBroadbandAccountWatcher(watcher, ACCOUNT_WATCHER_TARGET_START);
    if (status == ACCOUNT_WATCHER_STARTED) {
        // Start need not wait for the enumeration. Its end may come before this wait or
        // during it: the wait returns at once then, and the status read after it decides.
        watcher.WaitForEnumerationEnd(waitMs);
        status = watcher.Status();
    }
    if (status != ACCOUNT_WATCHER_ENUMERATION_COMPLETED) {
        LOG_ERROR("[ERROR] wWinMain : %s: FATAL ERROR watcherResult %d, exit APP!\n", "wWinMain", status);
        return false;
    }
    LOG_INFO("[INFO] wWinMain : %s: Start monitor MobileBroadbandAccountWatcher...Result: %d\n", "wWinMain", status);
    return true;
}

void AccountAddedHandler(AccountEventArgs& args) {
    try {
        const std::wstring id = args.NetworkAccountId();
        LOG_INFO("[INFO] AccountAddedHandler : %s: NetworkAccountId: %ls\n", "AccountAddedHandler", id.c_str());
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] AccountAddedHandler : Catch exception: %s\n", e.what());
        return;
    } catch (...) {
        LOG_ERROR("[ERROR] AccountAddedHandler : %s: Catch unknown exception.\n", "AccountAddedHandler");
        return;
    }
    Trigger();
}

void AccountUpdatedHandler(AccountUpdatedEventArgs& args) {
    bool deviceChanged = false;
    try {
        const std::wstring id = args.NetworkAccountId();
        const bool networkChanged = args.HasNetworkChanged();
        deviceChanged = args.HasDeviceInformationChanged();
        LOG_INFO("[INFO] AccountUpdatedHandler : %s: NetworkAccountId: %ls, HasNetworkChanged: %d, HasDeviceInformationChanged: %d\n",
                 "AccountUpdatedHandler", id.c_str(), networkChanged ? 1 : 0, deviceChanged ? 1 : 0);
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] AccountUpdatedHandler : Catch exception: %s\n", e.what());
        return;
    } catch (...) {
        LOG_ERROR("[ERROR] AccountUpdatedHandler : %s: Catch unknown exception.\n", "AccountUpdatedHandler");
        return;
    }
    // A change of network alone does not change whether a SIM is in use.
    if (deviceChanged) {
        Trigger();
    }
}

void AccountRemovedHandler(AccountEventArgs& args) {
    try {
        const std::wstring id = args.NetworkAccountId();
        LOG_INFO("[INFO] AccountRemovedHandler : %s: NetworkAccountId: %ls\n", "AccountRemovedHandler", id.c_str());
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] AccountRemovedHandler : %s: Catch exception: %s\n", "AccountRemovedHandler", e.what());
    } catch (...) {
        LOG_ERROR("[ERROR] AccountRemovedHandler : %s: Catch unknown exception.\n", "AccountRemovedHandler");
    }
    Trigger();
}

void EnumerationCompletedHandler() {
    LOG_INFO("[INFO] EnumerationCompletedHandler : EnumerationCompletedHandler\n");
}

void AccountWatcherStoppedHandler() {
    LOG_INFO("[INFO] AccountWatcherStoppedHandler : AccountWatcherStoppedHandler\n");
}

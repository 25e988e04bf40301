#include "channels/account_watcher.h"

#include <algorithm>
#include <exception>

#include "trace/trace.h"

namespace {

SimStatusRequests* g_Requests = nullptr;
AccountWatcherRecovery* g_Recovery = nullptr;

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

void AttachAccountWatcherRecovery(AccountWatcherRecovery* recovery) { g_Recovery = recovery; }

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
        // during it: the wait returns at once then. The event that came decides, as well as
        // the status read after it: nothing promises that the status changes before the
        // event is raised.
        const EnumerationEnd end = watcher.WaitForEnumerationEnd(waitMs);
        status = watcher.Status();
        if (end == EnumerationEnd::Completed) {
            status = ACCOUNT_WATCHER_ENUMERATION_COMPLETED;
        } else if (end == EnumerationEnd::Stopped && IsRunning(status)) {
            status = ACCOUNT_WATCHER_ABORTED;  // it ended by itself: we did not stop it
        }
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
    if (g_Recovery != nullptr) {
        g_Recovery->OnStopped();
    }
}

uint32_t RestartBackOffMs(uint32_t restart) {
    constexpr uint32_t kFirstMs = 1000;
    constexpr uint32_t kMostMs = 60000;
    return restart >= 6 ? kMostMs : std::min(kMostMs, kFirstMs << restart);
}

AccountWatcherRecovery::AccountWatcherRecovery(AccountWatcherPort& watcher, RestartPause& pause,
                                               ServiceReconnect& reconnect)
    : m_Watcher(watcher), m_Pause(pause), m_Reconnect(reconnect) {}

void AccountWatcherRecovery::Arm() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Armed = true;
}

void AccountWatcherRecovery::OnStopped() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    // Before the gate, a stop is start-up's to judge; at exit, it is our own Stop.
    if (m_Armed && !m_Ending) {
        m_StopPending = true;
        m_Changed.notify_all();
    }
}

void AccountWatcherRecovery::EndForExit() {
    m_Pause.EndPauses();
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Ending = true;
    m_Changed.notify_all();
    m_Changed.wait(lock, [this] { return !m_Restarting; });
}

bool AccountWatcherRecovery::WaitForStop() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Changed.wait(lock, [this] { return m_StopPending || m_Ending; });
    if (m_Ending) {
        return false;
    }
    m_StopPending = false;
    m_Restarting = true;
    return true;
}

// A new watcher, started as start-up starts one, with the same lines; true when it runs.
bool AccountWatcherRecovery::TryRestart(uint32_t restart) {
    static constexpr const char* kName = "AccountWatcherRecovery::RecoverOnce";
    int status = ACCOUNT_WATCHER_ABORTED;
    try {
        m_Watcher.Recreate();
        status = HandleMobileBroadbandAccountWatcher(m_Watcher, ACCOUNT_WATCHER_TARGET_START);
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] AccountWatcherRecovery::RecoverOnce : Catch exception: %s\n", e.what());
    } catch (...) {
        LOG_ERROR("[ERROR] AccountWatcherRecovery::RecoverOnce : %s: Catch unknown exception.\n", kName);
    }
    if (!IsRunning(status)) {
        LOG_WARNING("[WARNING] AccountWatcherRecovery::RecoverOnce : %s: restart %u failed, watcher status %d\n", kName,
                    restart + 1, status);
        return false;
    }
    return true;
}

bool AccountWatcherRecovery::RecoverOnce() {
    static constexpr const char* kName = "AccountWatcherRecovery::RecoverOnce";
    if (!WaitForStop()) {
        return false;
    }
    bool watcherBack = false;
    bool recovered = false;
    for (;;) {
        const uint32_t restart = m_NextRestart++;
        const uint32_t pauseMs = RestartBackOffMs(restart);
        LOG_WARNING("[WARNING] AccountWatcherRecovery::RecoverOnce : %s: the watcher ended on its own, restart %u in %u ms\n",
                    kName, restart + 1, pauseMs);
        if (!m_Pause.PauseMs(pauseMs)) {
            break;
        }
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Ending) {
                break;
            }
            // The service went again, taking the watcher that the last restart made.
            if (m_StopPending) {
                m_StopPending = false;
                watcherBack = false;
            }
        }
        if (!watcherBack) {
            watcherBack = TryRestart(restart);
        }
        if (!watcherBack) {
            continue;
        }
        if (!m_Reconnect.ReconnectAfterServiceRestart()) {
            LOG_WARNING("[WARNING] AccountWatcherRecovery::RecoverOnce : %s: restart %u: the wrapper is not connected yet\n",
                        kName, restart + 1);
            continue;
        }
        LOG_INFO("[INFO] AccountWatcherRecovery::RecoverOnce : %s: restart %u done\n", kName, restart + 1);
        recovered = true;
        break;
    }
    if (recovered) {
        m_NextRestart = 0;
        // A decision made while the service was away failed, and nothing else may ask again.
        Trigger();
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Restarting = false;
    m_Changed.notify_all();
    return recovered;
}

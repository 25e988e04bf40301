#include "app/quarn_vlmr_app.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/config_parser.h"
#include "common/utf8.h"
#include "trace/trace.h"

namespace {
constexpr uint32_t kPlatformInvalid = 0;
}

QuarnVlmrApp::QuarnVlmrApp(ShellPort& shell, SimStatusPort& simStatus, SimEjectPort& simEject)
    : m_Shell(shell), m_SimStatus(simStatus), m_SimEject(simEject) {
    SetDefaultMenuPresets(m_Presets);
}

bool QuarnVlmrApp::ShowSystemTrayIcon(WindowHandle window) {
    if (m_TrayTarget == TrayTarget::Closed) {
        return false;
    }
    if (m_SystemIconShows) {
        LOG_INFO("[INFO] QuarnVlmrApp::ShowSystemTrayIcon : QueryIsSystemIconShows is already exists, no need to show again.\n");
        return true;
    }
    if (m_TrayIconPending) {
        LOG_INFO("[INFO] QuarnVlmrApp::ShowSystemTrayIcon : %s: the icon waits for the shell, retrying every 1s.\n",
                 "QuarnVlmrApp::ShowSystemTrayIcon");
        return true;
    }
    m_TrayTarget = TrayTarget::Shown;
    ++m_TrayRequest;
    RunTrayRequests(window);
    return true;
}

void QuarnVlmrApp::RemoveSystemTrayIcon(WindowHandle window) {
    if (m_TrayTarget != TrayTarget::Closed) {
        m_TrayTarget = TrayTarget::Hidden;
    }
    ++m_TrayRequest;
    StopPendingTrayIcon(window);
    RunTrayRequests(window);
}

void QuarnVlmrApp::AppWmDestroy(WindowHandle window) {
    m_TrayTarget = TrayTarget::Closed;
    RemoveSystemTrayIcon(window);
}

void QuarnVlmrApp::AppWmTaskbarCreated(WindowHandle window) {
    if (m_TrayTarget != TrayTarget::Shown) {
        return;
    }
    LOG_INFO("[INFO] QuarnVlmrApp::AppWmTaskbarCreated : %s: the shell restarted, adding the icon again.\n",
             "QuarnVlmrApp::AppWmTaskbarCreated");
    StopPendingTrayIcon(window);
    m_SystemIconShows = false;
    m_AddOnce = true;
    ++m_TrayRequest;
    RunTrayRequests(window);
}

void QuarnVlmrApp::RetryPendingTrayIcon(WindowHandle window) {
    if (!m_TrayIconPending) {
        m_Shell.StopTrayIconRetryTimer(window);
        return;
    }
    if (m_TrayBusy) {
        return;  // a tick inside a shell call; the call under way decides
    }
    m_TrayBusy = true;
    const uint64_t request = m_TrayRequest;
    uint32_t error = 0;
    const bool added = AddTrayIconOnce(window, request, error);
    m_TrayBusy = false;
    m_SystemIconShows = added && !m_AddOnce;
    if (request != m_TrayRequest) {
        RunTrayRequests(window);  // a nested request came during the call: it decides
        return;
    }
    if (added) {
        StopPendingTrayIcon(window);
    }
}

void QuarnVlmrApp::RunTrayRequests(WindowHandle window) {
    if (m_TrayBusy) {
        return;
    }
    m_TrayBusy = true;
    for (uint64_t handled = m_TrayRequest - 1; handled != m_TrayRequest;) {
        handled = m_TrayRequest;
        if (m_TrayTarget != TrayTarget::Shown) {
            m_SystemIconShows = false;
            DeleteTrayIcon(window);
        } else if (!m_SystemIconShows && !m_TrayIconPending) {
            AddTrayIconSequence(window, handled);
        }
    }
    m_TrayBusy = false;
}

void QuarnVlmrApp::AddTrayIconSequence(WindowHandle window, uint64_t request) {
    const bool once = m_AddOnce;
    m_AddOnce = false;
    // A removal first: a shell that restarted, or one that kept an icon of an earlier run,
    // refuses an add for an icon it holds.
    DeleteTrayIcon(window);
    if (request != m_TrayRequest) {
        return;
    }
    if (!once) {
        m_Shell.SleepMs(TRAY_ICON_REMOVE_SETTLE_MS);
    }
    for (int failures = 1;; ++failures) {
        uint32_t error = 0;
        const bool added = AddTrayIconOnce(window, request, error);
        if (request != m_TrayRequest) {
            // The loop settles what the newer request wants; an add that a restarted shell
            // may have lost counts for nothing.
            m_SystemIconShows = added && !m_AddOnce;
            return;
        }
        if (added) {
            m_SystemIconShows = true;
            return;
        }
        LOG_ERROR("[ERROR] QuarnVlmrApp::ShowSystemTrayIcon : ShowSystemTrayIcon exception, 0x%x, retry (%d/%d) in 1s.\n",
                  error, failures, TRAY_ICON_ADD_ATTEMPTS);
        if (once || failures == TRAY_ICON_ADD_ATTEMPTS) {
            // A shell that is late at logon or restarting must neither keep the window
            // thread here nor end the process: the message loop goes on retrying.
            m_TrayIconPending = true;
            m_Shell.StartTrayIconRetryTimer(window);
            if (!once) {
                LOG_WARNING("[WARNING] QuarnVlmrApp::ShowSystemTrayIcon : %s: the shell refused the icon %d times, retrying every 1s from the message loop.\n",
                            "QuarnVlmrApp::ShowSystemTrayIcon", failures);
            }
            return;
        }
        m_Shell.SleepMs(TRAY_ICON_RETRY_MS);
    }
}

// "ShowSystemTrayIcon OK" is written once for each add that the shell is known to have carried
// out: one it answered with success, and one it refused (a busy shell answers after
// Shell_NotifyIconW's time-out, having added the icon all the same) once a later answer shows
// the icon: the NIM_MODIFY check that follows the refusal, the check after a later add that
// the shell refuses because the icon exists, or the NIM_DELETE that a newer request or the next
// attempt makes first. An add whose every later answer is lost to time-outs as well stays
// unlogged; the shell has then told nothing.
bool QuarnVlmrApp::AddTrayIconOnce(WindowHandle window, uint64_t request, uint32_t& error) {
    m_AddUnsettled = false;
    if (!m_Shell.AddTrayIcon(window)) {
        error = m_Shell.LastErrorCode();
        // The shell would refuse every later add of an icon it holds, so ask it. (Deleting
        // before each retry would do too, but makes a held icon blink and can time out just
        // the same.) A newer request decides afresh without asking: its first call is a delete.
        if (request != m_TrayRequest || !m_Shell.HoldsTrayIcon(window)) {
            m_AddUnsettled = true;
            m_UnsettledError = error;
            return false;
        }
        LOG_WARNING("[WARNING] QuarnVlmrApp::ShowSystemTrayIcon : %s: the shell answered 0x%x but holds the icon.\n",
                    "QuarnVlmrApp::ShowSystemTrayIcon", error);
    }
    LOG_INFO("[INFO] QuarnVlmrApp::ShowSystemTrayIcon : ShowSystemTrayIcon OK\n");
    return true;
}

void QuarnVlmrApp::DeleteTrayIcon(WindowHandle window) {
    const bool removed = m_Shell.DeleteTrayIcon(window);
    if (std::exchange(m_AddUnsettled, false) && removed) {
        LOG_WARNING("[WARNING] QuarnVlmrApp::ShowSystemTrayIcon : %s: the shell answered 0x%x but held the icon until "
                    "this removal.\n",
                    "QuarnVlmrApp::ShowSystemTrayIcon", m_UnsettledError);
        LOG_INFO("[INFO] QuarnVlmrApp::ShowSystemTrayIcon : ShowSystemTrayIcon OK\n");
    }
}

void QuarnVlmrApp::StopPendingTrayIcon(WindowHandle window) {
    if (m_TrayIconPending) {
        m_TrayIconPending = false;
        m_Shell.StopTrayIconRetryTimer(window);
    }
}

void QuarnVlmrApp::HideSystemTrayIcon(WindowHandle window) {
    if (!IsTrayIconPersistent()) {
        LOG_INFO("[INFO] QuarnVlmrApp::HideSystemTrayIcon : HideSystemTrayIcon");
        RemoveSystemTrayIcon(window);
    } else {
        LOG_INFO("[INFO] QuarnVlmrApp::HideSystemTrayIcon : %s: system tray icon persist param is true, not to hide.",
                 "QuarnVlmrApp::HideSystemTrayIcon");
    }
}

int QuarnVlmrApp::AppWmCreate(WindowHandle window) {
    if (m_TrayTarget == TrayTarget::Closed) {
        m_TrayTarget = TrayTarget::Hidden;  // a new window takes requests again
    }
    try {
        const uint32_t status = m_SimStatus.UpdateSystemTrayIconStatus();
        if (status != 0 || IsTrayIconPersistent()) {
            LOG_INFO("[INFO] QuarnVlmrApp::AppWmCreate : tray_icon_persist: %d", IsTrayIconPersistent() ? 1 : 0);
            if (!ShowSystemTrayIcon(window)) {
                LOG_ERROR("[ERROR] QuarnVlmrApp::AppWmCreate : ShowSystemTrayIcon return false");
                return -1;
            }
        }
        m_SimStatus.TriggerUpdateSystemTrayIconStatus();
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] QuarnVlmrApp::AppWmCreate : Catched exception: %s\n", e.what());
    }
    return 0;
}

int QuarnVlmrApp::AppWmCommandEjectSim() {
    try {
        const uint32_t platform = m_SimEject.GetCurrentModulePlatform();
        if (platform == kPlatformInvalid) {
            throw std::runtime_error("platform is invalid");
        }
        if (m_SimEject.SendRemoveSimCard(platform) == 0) {
            LOG_INFO("[INFO] QuarnVlmrApp::AppWmCommandEjectSim : Remove SIM card OK.\n");
            return 0;
        }
    } catch (const std::runtime_error& e) {
        LOG_ERROR("[ERROR] QuarnVlmrApp::AppWmCommandEjectSim : Catch runtime_error: %s\n", e.what());
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] QuarnVlmrApp::AppWmCommandEjectSim : Catch exception: %s\n", e.what());
    } catch (...) {
        LOG_ERROR("[ERROR] QuarnVlmrApp::AppWmCommandEjectSim : Catch unknown exception\n");
    }
    m_Shell.ShowEjectFailureMessage();
    return 1;
}

void QuarnVlmrApp::CustomizeRightClickMenu(PopupMenuPort& popup) {
    for (std::size_t row = 1; row < MENU_PRESET_COUNT; ++row) {
        if (!m_Presets[row].Display) {
            popup.RemoveCommand(m_Presets[row].MenuId);
        }
    }
    if (popup.ItemCount() <= 1) {
        return;
    }
    // The count grows with every insertion, so each gap between commands gets one.
    for (int position = 1; position < popup.ItemCount(); position += 2) {
        LOG_INFO("[INFO] QuarnVlmrApp::CustomizeRightClickMenu : separator_position: %d", position);
        popup.InsertSeparator(position);
    }
}

void QuarnVlmrApp::InitUISetting() {
    std::filesystem::path path = m_Shell.GetExecutableDirectory();
    path += UI_SETTINGS_FILE_NAME;
    // Not path.u8string(): it throws for a surrogate without its pair, which a Windows name
    // may hold, and a log line must never end start-up.
    const std::string utf8Path = PathToUtf8(path);
    LOG_INFO("[INFO] QuarnVlmrApp::InitUISetting : %s: config file path: %s", "QuarnVlmrApp::InitUISetting",
             utf8Path.c_str());
    ConfigParser::ParserUISettings(path, m_Presets);
}

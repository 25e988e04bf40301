// The application object: the tray icon's state, the menu rows and the commands of the
// hidden window. All operations run on the window thread.
#pragma once

#include <cstdint>
#include <mutex>

#include "app/app_ports.h"
#include "app/menu_preset.h"

// Shell_NotifyIconW(NIM_ADD) attempts that ShowSystemTrayIcon makes while blocking the
// window thread; after them it retries from a timer instead.
constexpr int TRAY_ICON_ADD_ATTEMPTS = 10;
constexpr uint32_t TRAY_ICON_RETRY_MS = 1000;
constexpr uint32_t TRAY_ICON_REMOVE_SETTLE_MS = 100;

class QuarnVlmrApp {
public:
    QuarnVlmrApp(ShellPort& shell, SimStatusPort& simStatus, SimEjectPort& simEject);
    QuarnVlmrApp(const QuarnVlmrApp&) = delete;
    QuarnVlmrApp& operator=(const QuarnVlmrApp&) = delete;

    // The process-wide object, wired to the platform (defined by the Windows adapter).
    static QuarnVlmrApp& GetInstance();

    bool ShowSystemTrayIcon(WindowHandle window);
    void HideSystemTrayIcon(WindowHandle window);
    void RemoveSystemTrayIcon(WindowHandle window);
    int AppWmCreate(WindowHandle window);
    int AppWmCommandEjectSim();
    void CustomizeRightClickMenu(PopupMenuPort& popup);
    void InitUISetting();

    // A new shell announced itself ("TaskbarCreated"): the icon it had is gone.
    void AppWmTaskbarCreated(WindowHandle window);
    // The retry timer fired while an icon is still wanted but not added.
    void RetryPendingTrayIcon(WindowHandle window);

    bool IsTrayIconPersistent() const { return m_Presets[TRAY_ICON_PRESET_ROW].Display; }
    bool IsTrayIconPending() const { return m_TrayIconPending; }

    WindowHandle m_hWnd = nullptr;
    MenuPresetTable m_Presets;
    bool m_SystemIconShows = false;
    std::mutex m_TrayMutex;
    void* m_hInstance = nullptr;

private:
    bool TryAddTrayIcon(WindowHandle window);

    ShellPort& m_Shell;
    SimStatusPort& m_SimStatus;
    SimEjectPort& m_SimEject;
    // Wanted but refused by the shell so far; the retry timer runs while this is true.
    bool m_TrayIconPending = false;
};

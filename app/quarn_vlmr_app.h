// The application object: the tray icon's state, the menu rows and the commands of the
// hidden window. All operations run on the window thread, and the tray state is that
// thread's alone: no lock guards it, because a shell call that waits for the shell lets the
// thread handle messages that other threads send it, and such a nested message may show or
// hide the icon in the middle of another request.
#pragma once

#include <cstdint>

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

    // False only while the window is being destroyed: it takes no icon any more.
    bool ShowSystemTrayIcon(WindowHandle window);
    void HideSystemTrayIcon(WindowHandle window);
    void RemoveSystemTrayIcon(WindowHandle window);
    int AppWmCreate(WindowHandle window);
    int AppWmCommandEjectSim();
    void CustomizeRightClickMenu(PopupMenuPort& popup);
    void InitUISetting();

    // The window is being destroyed: the icon goes whatever the persist setting says, and
    // later show requests do nothing until a window is created again.
    void AppWmDestroy(WindowHandle window);
    // A shell announced itself ("TaskbarCreated"): an icon that was wanted is deleted (a
    // shell that restarted may still hold it) and added again.
    void AppWmTaskbarCreated(WindowHandle window);
    // The retry timer fired while an icon is still wanted but not added.
    void RetryPendingTrayIcon(WindowHandle window);

    bool IsTrayIconPersistent() const { return m_Presets[TRAY_ICON_PRESET_ROW].Display; }
    bool IsTrayIconPending() const { return m_TrayIconPending; }

    WindowHandle m_hWnd = nullptr;
    MenuPresetTable m_Presets;
    bool m_SystemIconShows = false;
    void* m_hInstance = nullptr;

private:
    // Runs shell calls until the icon is as the newest request wants it. A request made by a
    // nested message while a call waits is picked up when that call returns.
    void RunTrayRequests(WindowHandle window);
    // Removes, settles and adds (with its retries); returns early when a newer request came.
    void AddTrayIconSequence(WindowHandle window, uint64_t request);
    // One NIM_ADD; true when the shell holds the icon after it. `error` gets a refusal's code.
    bool AddTrayIconOnce(WindowHandle window, uint64_t request, uint32_t& error);
    // One NIM_DELETE; logs the add that it finds the shell had carried out after refusing it.
    void DeleteTrayIcon(WindowHandle window);
    void StopPendingTrayIcon(WindowHandle window);

    ShellPort& m_Shell;
    SimStatusPort& m_SimStatus;
    SimEjectPort& m_SimEject;
    // What the newest request wants. Closed: the window is going, so that a show handled
    // inside its last delete cannot bring an icon back.
    enum class TrayTarget { Hidden, Shown, Closed };
    TrayTarget m_TrayTarget = TrayTarget::Hidden;
    uint64_t m_TrayRequest = 0;    // counts show and hide requests
    bool m_TrayBusy = false;       // a shell call of RunTrayRequests is under way
    bool m_AddOnce = false;        // the next add is a new shell's: one attempt, then the timer
    // Wanted but refused by the shell so far; the retry timer runs while this is true.
    bool m_TrayIconPending = false;
    // The last add was refused, yet the shell may have carried it out (a busy shell answers
    // after its time-out): nothing has told since. Its refusal's code, for the trace.
    bool m_AddUnsettled = false;
    uint32_t m_UnsettledError = 0;
};

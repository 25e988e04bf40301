#include "app/win/app_window.h"

#include <shellapi.h>

#include <exception>
#include <memory>
#include <vector>

#include "app/quarn_vlmr_app.h"
#include "app/res/resource.h"
#include "app/window_messages.h"
#include "modem/mbim_command.h"
#include "monitor/condition_check.h"
#include "monitor/device_monitor.h"
#include "trace/trace.h"

namespace {

constexpr UINT kTrayIconId = 0;
constexpr UINT kTrayMenuFlags = TPM_RIGHTBUTTON | TPM_BOTTOMALIGN;
constexpr int kMessageTextLength = 512;

HWND AsHwnd(WindowHandle window) { return static_cast<HWND>(window); }

class Win32Shell final : public ShellPort {
public:
    bool AddTrayIcon(WindowHandle window) override {
        const auto instance = static_cast<HINSTANCE>(QuarnVlmrApp::GetInstance().m_hInstance);
        TrayIconRecord record(AsHwnd(window), instance, true);
        return Shell_NotifyIconW(NIM_ADD, record.Get()) != FALSE;
    }

    bool DeleteTrayIcon(WindowHandle window) override {
        TrayIconRecord record(AsHwnd(window), nullptr, false);
        return Shell_NotifyIconW(NIM_DELETE, record.Get()) != FALSE;
    }

    bool HoldsTrayIcon(WindowHandle window) override {
        // The adding record, so that this is a modification like any other: only whether the
        // icon exists decides the answer.
        const auto instance = static_cast<HINSTANCE>(QuarnVlmrApp::GetInstance().m_hInstance);
        TrayIconRecord record(AsHwnd(window), instance, true);
        return Shell_NotifyIconW(NIM_MODIFY, record.Get()) != FALSE;
    }

    uint32_t LastErrorCode() override { return GetLastError(); }

    void SleepMs(uint32_t milliseconds) override { Sleep(milliseconds); }

    void StartTrayIconRetryTimer(WindowHandle window) override {
        SetTimer(AsHwnd(window), TRAY_ICON_RETRY_TIMER_ID, TRAY_ICON_RETRY_MS, nullptr);
    }

    void StopTrayIconRetryTimer(WindowHandle window) override {
        KillTimer(AsHwnd(window), TRAY_ICON_RETRY_TIMER_ID);
    }

    std::filesystem::path GetExecutableDirectory() override { return ::GetExecutableDirectory(); }

    void ShowEjectFailureMessage() override {
        const HMODULE module = GetModuleHandleW(nullptr);
        wchar_t caption[kMessageTextLength] = {};
        wchar_t text[kMessageTextLength] = {};
        LoadStringW(module, IDS_EJECT_ERROR_CAPTION, caption, kMessageTextLength);
        LoadStringW(module, IDS_EJECT_ERROR_TEXT, text, kMessageTextLength);
        MessageBoxW(nullptr, text, caption, MB_OK);
    }
};

class ConditionCheckStatus final : public SimStatusPort {
public:
    uint32_t UpdateSystemTrayIconStatus() override {
        return ConditionCheck::GetInstance().UpdateSystemTrayIconStatus();
    }
    void TriggerUpdateSystemTrayIconStatus() override {
        ConditionCheck::GetInstance().TriggerUpdateSystemTrayIconStatus();
    }
};

class ModemSimEject final : public SimEjectPort {
public:
    uint32_t GetCurrentModulePlatform() override { return DeviceMonitor::GetCurrentModulePlatform(); }
    int32_t SendRemoveSimCard(uint32_t platform) override { return MBIMCommand::SendRemoveSimCard(platform); }
};

class Win32PopupMenu final : public PopupMenuPort {
public:
    explicit Win32PopupMenu(HMENU popup) : m_Popup(popup) {}
    void RemoveCommand(uint32_t commandId) override { RemoveMenu(m_Popup, commandId, MF_BYCOMMAND); }
    int ItemCount() override { return GetMenuItemCount(m_Popup); }
    void InsertSeparator(int position) override {
        InsertMenuW(m_Popup, position, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
    }

private:
    HMENU m_Popup;
};

struct MenuDestroyer {
    void operator()(HMENU menu) const { DestroyMenu(menu); }
};
using UniqueMenu = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDestroyer>;

LRESULT AppWmTrayNotify(HWND hWnd, LPARAM lParam) {
    if (lParam != WM_LBUTTONUP && lParam != WM_LBUTTONDBLCLK && lParam != WM_RBUTTONUP) {
        return 0;
    }
    LOG_INFO("[INFO] HiddenWndProc : User click the system icon\n");
    QuarnVlmrApp& app = QuarnVlmrApp::GetInstance();
    const UniqueMenu menu(LoadMenuW(static_cast<HINSTANCE>(app.m_hInstance), MAKEINTRESOURCEW(IDR_TRAY_MENU)));
    if (!menu) {
        return 0;
    }
    const HMENU popup = GetSubMenu(menu.get(), 0);
    if (popup == nullptr) {
        return 0;
    }
    Win32PopupMenu popupPort(popup);
    app.CustomizeRightClickMenu(popupPort);
    POINT cursor{};
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(hWnd);
    TrackPopupMenu(popup, kTrayMenuFlags, cursor.x, cursor.y, 0, hWnd, nullptr);
    // Documented for notification-area menus: without a message after it, the menu can
    // close at once the next time it opens.
    PostMessageW(hWnd, WM_NULL, 0, 0);
    return 0;
}

LRESULT HandleMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    // Explorer broadcasts this when it (re)starts; its old icons are gone.
    static const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    QuarnVlmrApp& app = QuarnVlmrApp::GetInstance();

    switch (message) {
    case WM_CREATE:
        LOG_INFO("[INFO] HiddenWndProc : WM_CREATE\n");
        return app.AppWmCreate(hWnd);
    case WM_DESTROY:
        LOG_INFO("[INFO] HiddenWndProc : WM_DESTROY\n");
        app.AppWmDestroy(hWnd);
        // However the window went (WM_CLOSE from taskkill or the Restart Manager, the end of
        // the session), the process ends with it, the orderly way: a process without its
        // window could no longer be told to exit and would block the next instance's pipe.
        PostQuitMessage(0);
        return 0;
    case WM_QUERYENDSESSION:
        LOG_INFO("[INFO] HiddenWndProc : WM_QUERYENDSESSION\n");
        return TRUE;  // nothing to save; the Restart Manager (ENDSESSION_CLOSEAPP) may close us
    case WM_ENDSESSION:
        LOG_INFO("[INFO] HiddenWndProc : WM_ENDSESSION\n");
        if (wParam != FALSE) {
            // The session ends (or the Restart Manager closes us): the process may be ended
            // once this returns, so the icon goes now, with the window.
            DestroyWindow(hWnd);
        }
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDM_EJECT_SIM:
            LOG_INFO("[INFO] HiddenWndProc : User click the Eject SIM button\n");
            app.AppWmCommandEjectSim();
            return 0;
        case IDM_EXIT:
            LOG_INFO("[INFO] HiddenWndProc : User click the Exit button\n");
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hWnd, message, wParam, lParam);
        }
    case WM_TIMER:
        if (wParam == TRAY_ICON_RETRY_TIMER_ID) {
            app.RetryPendingTrayIcon(hWnd);
            return 0;
        }
        return DefWindowProcW(hWnd, message, wParam, lParam);
    case WM_TRAY_NOTIFY:
        return AppWmTrayNotify(hWnd, lParam);
    case WM_HIDE_ICON_CMD:
        app.HideSystemTrayIcon(hWnd);
        return 0;
    case WM_SHOW_ICON_CMD:
        app.ShowSystemTrayIcon(hWnd);
        return 0;
    case WM_EXIT_CMD:
        if (lParam == EXIT_CMD_LPARAM) {
            LOG_INFO("[INFO] HiddenWndProc : Receive Exit Command\n");
            PostQuitMessage(0);
        }
        return DefWindowProcW(hWnd, message, wParam, lParam);
    default:
        if (message == taskbarCreated && taskbarCreated != 0) {
            app.AppWmTaskbarCreated(hWnd);
            return 0;
        }
        return DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

}  // namespace

namespace {

// Windows 10 1607 and later: the window's own DPI under per-monitor awareness.
template <typename Function>
Function User32Function(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

int SmallIconSize(HWND window) {
    static const auto dpiForWindow = User32Function<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
    static const auto metricsForDpi = User32Function<int(WINAPI*)(int, UINT)>("GetSystemMetricsForDpi");
    const UINT dpi = dpiForWindow != nullptr ? dpiForWindow(window) : 0;
    return dpi != 0 && metricsForDpi != nullptr ? metricsForDpi(SM_CXSMICON, dpi) : GetSystemMetrics(SM_CXSMICON);
}

}  // namespace

TrayIconRecord::TrayIconRecord(HWND window, HINSTANCE instance, bool adding) {
    m_Record.cbSize = sizeof(m_Record);
    m_Record.hWnd = window;
    m_Record.uID = kTrayIconId;
    if (adding) {
        m_Record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        m_Record.uCallbackMessage = WM_TRAY_NOTIFY;
        // Not shared: a shared icon keeps the size it was first loaded at.
        const int size = SmallIconSize(window);
        m_Record.hIcon = static_cast<HICON>(
            LoadImageW(instance, MAKEINTRESOURCEW(IDI_TRAY_ICON), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        // LoadStringW cuts the tip at 127 characters and terminates it.
        LoadStringW(instance, IDS_TRAY_TIP, m_Record.szTip, ARRAYSIZE(m_Record.szTip));
    }
}

TrayIconRecord::~TrayIconRecord() {
    if (m_Record.hIcon != nullptr) {
        DestroyIcon(m_Record.hIcon);
    }
}

QuarnVlmrApp& QuarnVlmrApp::GetInstance() {
    static Win32Shell shell;
    static ConditionCheckStatus simStatus;
    static ModemSimEject simEject;
    static QuarnVlmrApp instance(shell, simStatus, simEject);
    return instance;
}

LRESULT CALLBACK HiddenWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    // Nothing may unwind through the system's frames.
    try {
        return HandleMessage(hWnd, message, wParam, lParam);
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] HiddenWndProc : Catch exception: %s\n", e.what());
    } catch (...) {
        LOG_ERROR("[ERROR] HiddenWndProc : Catch unknown exception\n");
    }
    return message == WM_CREATE ? -1 : 0;
}

std::wstring GetExecutableDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    const std::size_t lastSlash = directory.rfind(L'\\');
    if (lastSlash != std::wstring::npos) {
        directory.resize(lastSlash + 1);
    }
    return directory;
}

std::wstring ReadExecutableVersion() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) {
        return {};
    }
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoLength = 0;
    if (!GetFileVersionInfoW(path, 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoLength) || info == nullptr) {
        return {};
    }
    wchar_t version[32] = {};
    swprintf(version, 32, L"%d.%d.%d.%d", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
             HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    return version;
}

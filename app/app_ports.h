// What the application object needs of the platform and of the other subsystems.
// Windows implements these in app/win; tests give fakes.
#pragma once

#include <cstdint>
#include <filesystem>

// The hidden window, opaque to the portable core (an HWND on Windows).
using WindowHandle = void*;

// The notification area, the pauses and the user-facing bits of the shell.
class ShellPort {
public:
    virtual ~ShellPort() = default;
    // NIM_ADD of the tray icon record for `window`; false when the shell refused it.
    virtual bool AddTrayIcon(WindowHandle window) = 0;
    // NIM_DELETE of the icon of `window`; true when the shell answered that it removed an
    // icon it held (false also when its answer did not come in time).
    virtual bool DeleteTrayIcon(WindowHandle window) = 0;
    // NIM_MODIFY with the adding record (which changes nothing of an icon that an add put
    // there): true when the shell holds the icon of `window`.
    virtual bool HoldsTrayIcon(WindowHandle window) = 0;
    // The error code of the last refused call, for the trace.
    virtual uint32_t LastErrorCode() = 0;
    virtual void SleepMs(uint32_t milliseconds) = 0;
    // Arms (or disarms) a 1 s timer on `window` that calls back into
    // QuarnVlmrApp::RetryPendingTrayIcon from the message loop.
    virtual void StartTrayIconRetryTimer(WindowHandle window) = 0;
    virtual void StopTrayIconRetryTimer(WindowHandle window) = 0;
    // The running executable's directory.
    virtual std::filesystem::path GetExecutableDirectory() = 0;
    // The modal "Problem Ejecting SIM card" box; returns when the user closed it.
    virtual void ShowEjectFailureMessage() = 0;
};

// The SIM status decisions that the window asks for.
class SimStatusPort {
public:
    virtual ~SimStatusPort() = default;
    // A fresh decision on the calling thread: 1 to show the icon, 0 to hide it.
    virtual uint32_t UpdateSystemTrayIconStatus() = 0;
    // Wakes the worker for a further decision.
    virtual void TriggerUpdateSystemTrayIconStatus() = 0;
};

// The modem operations behind the Eject command.
class SimEjectPort {
public:
    virtual ~SimEjectPort() = default;
    virtual uint32_t GetCurrentModulePlatform() = 0;
    // 0 on success, a failure code otherwise.
    virtual int32_t SendRemoveSimCard(uint32_t platform) = 0;
};

// The tray popup menu while it is being prepared.
class PopupMenuPort {
public:
    virtual ~PopupMenuPort() = default;
    virtual void RemoveCommand(uint32_t commandId) = 0;
    virtual int ItemCount() = 0;
    virtual void InsertSeparator(int position) = 0;
};

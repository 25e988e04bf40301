// The hidden window and the Windows side of the application object.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

LRESULT CALLBACK HiddenWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

// The running executable's directory with its trailing backslash.
std::wstring GetExecutableDirectory();

// The executable's file version as "a.b.c.d", empty when it has no version resource.
std::wstring ReadExecutableVersion();

// The tray icon's record: for adding (with the callback message, the icon and the tip, string
// 1 of `instance`) or, with `adding` false, for removing. The adding record's icon is its own,
// at the small-icon size for the window's DPI, and goes with the record: the shell keeps a
// copy of what it is given.
class TrayIconRecord {
public:
    TrayIconRecord(HWND window, HINSTANCE instance, bool adding);
    ~TrayIconRecord();
    TrayIconRecord(const TrayIconRecord&) = delete;
    TrayIconRecord& operator=(const TrayIconRecord&) = delete;

    const NOTIFYICONDATAW& Data() const { return m_Record; }
    NOTIFYICONDATAW* Get() { return &m_Record; }

private:
    NOTIFYICONDATAW m_Record{};
};

// Timer of the tray icon retries after the shell refused the icon.
constexpr UINT_PTR TRAY_ICON_RETRY_TIMER_ID = 1;

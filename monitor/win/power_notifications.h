// The console control handler and the suspend/resume registration on Windows.
#pragma once

#include <windows.h>

// The console control handler as the system calls it; forwards to DeviceMonitor.
BOOL WINAPI ConsoleControlHandler(DWORD ctrlType);

extern HPOWERNOTIFY PowerNotificationHandle;

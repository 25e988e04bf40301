// Names a thread for debuggers, crash dumps and per-thread reports (SetThreadDescription,
// Windows 10 1607 and later, resolved at run time: older systems go without; Wine passes
// the name on as the Linux thread name).
#pragma once

#include <windows.h>

inline void NameThread(HANDLE thread, const wchar_t* name) {
    using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto setDescription = reinterpret_cast<SetThreadDescriptionFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (setDescription != nullptr && thread != nullptr) {
        setDescription(thread, name);
    }
}

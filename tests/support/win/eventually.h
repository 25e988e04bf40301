// Polls a condition until it holds or the time is up.
#pragma once

#include <windows.h>

template <typename Condition>
bool Eventually(Condition condition, DWORD timeoutMs = 5000) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > deadline) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

// Milliseconds from the performance counter, for latencies shorter than a tick of
// GetTickCount64 (10 to 16 ms).
#pragma once

#include <windows.h>

inline double NowMs() {
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

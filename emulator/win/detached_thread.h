// Starts a function on a thread of its own that nobody joins, through CreateThread.
//
// The emulator starts a thread per client, per completion and per follower. With std::thread
// (winpthreads in this toolchain) started and detached at that rate, a thread now and then
// began with a null state and crashed, or never ran at all.
#pragma once

#include <windows.h>

#include <functional>
#include <utility>

inline bool StartDetachedThread(std::function<void()> body) {
    auto* owned = new std::function<void()>(std::move(body));
    const HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* argument) -> DWORD {
            auto* run = static_cast<std::function<void()>*>(argument);
            (*run)();
            delete run;
            return 0;
        },
        owned, 0, nullptr);
    if (thread == nullptr) {
        delete owned;
        return false;
    }
    CloseHandle(thread);
    return true;
}

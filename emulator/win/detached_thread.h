// Starts a function on a thread of its own that nobody joins, through CreateThread, named
// (at most 15 characters: a Linux thread name, which Wine sets) so that per-thread reports
// tell the emulator's threads from those of the program that loaded a facade.
//
// The emulator starts a thread per client, per completion and per follower. With std::thread
// (winpthreads in this toolchain) started and detached at that rate, a thread now and then
// began with a null state and crashed, or never ran at all.
#pragma once

#include <windows.h>

#include <functional>
#include <utility>

#include "common/win/thread_name.h"

inline bool StartDetachedThread(const wchar_t* name, std::function<void()> body) {
    struct Start {
        const wchar_t* Name;
        std::function<void()> Body;
    };
    auto* owned = new Start{name, std::move(body)};
    const HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* argument) -> DWORD {
            auto* start = static_cast<Start*>(argument);
            // From inside: Wine drops a name given to a thread that is not fully started.
            NameThread(GetCurrentThread(), start->Name);
            start->Body();
            delete start;
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

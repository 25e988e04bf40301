// The activation factory of a Windows Runtime class, looked up on first use and kept for the
// life of the process once it was found.
#pragma once

#include <roapi.h>

#include <mutex>

#include "common/win/com_ptr.h"

// Throws HresultError when the lookup fails. Only a success is kept: an activation that
// fails for a moment (a broker busy at logon, a service starting) is tried again next time.
template <typename Statics>
Statics* ActivationFactory(const wchar_t* className, const IID& iid) {
    static std::mutex mutex;
    static Statics* factory = nullptr;  // one reference, held until the process ends
    std::lock_guard<std::mutex> lock(mutex);
    if (factory == nullptr) {
        HStringRef name(className);
        Statics* found = nullptr;
        ThrowIfFailed(RoGetActivationFactory(name.Get(), iid, reinterpret_cast<void**>(&found)));
        factory = found;
    }
    return factory;
}

// The emulator's suspend/resume notifications for the process under test (powrprof.dll,
// loaded through a Wine DLL override; Wine's own registration never calls back): the
// model's power events reach the registered callback on a thread of its own.
#include <windows.h>

#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include "compat/cfgmgr_power.h"
#include "emulator/win/detached_thread.h"
#include "emulator/win/emu_channel.h"

namespace {

class PowerNotifier {
public:
    static PowerNotifier& Instance() {
        static PowerNotifier* notifier = new PowerNotifier();  // lives as long as the process
        return *notifier;
    }

    HPOWERNOTIFY Register(const DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS& subscription) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto handle = reinterpret_cast<HPOWERNOTIFY>(++m_LastHandle);
        m_Subscriptions[handle] = subscription;
        if (!m_Started) {
            m_Started = true;
            // Power events from before the registration are not delivered.
            StartDetachedThread(L"emu-power", [this, after = LatestEmuEvent()] { Run(after); });
        }
        return handle;
    }

    bool Unregister(HPOWERNOTIFY handle) {
        std::lock_guard<std::mutex> dispatch(m_DispatchMutex);
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Subscriptions.erase(handle) == 1;
    }

private:
    void Run(uint64_t after) {
        FollowEmuEvents(after, [] { return true; }, [this](const EmuEvent& event) {
            if (event.Kind == "power") {
                Deliver(static_cast<ULONG>(std::stoul(event.Subject)));
            }
        });
    }

    void Deliver(ULONG type) {
        std::lock_guard<std::mutex> dispatch(m_DispatchMutex);
        std::map<HPOWERNOTIFY, DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS> targets;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            targets = m_Subscriptions;
        }
        for (const auto& entry : targets) {
            entry.second.Callback(entry.second.Context, type, nullptr);
        }
        // Tests wait for this before they count on the process having seen the event.
        EmuRequest("note power " + std::to_string(type) + " delivered");
    }

    std::mutex m_Mutex;
    std::mutex m_DispatchMutex;
    std::map<HPOWERNOTIFY, DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS> m_Subscriptions;
    uintptr_t m_LastHandle = 0;
    bool m_Started = false;
};

}  // namespace

extern "C" {

DWORD WINAPI Facade_PowerRegisterSuspendResumeNotification(DWORD flags, HANDLE recipient, PHPOWERNOTIFY handle) {
    if (flags != DEVICE_NOTIFY_CALLBACK || recipient == nullptr || handle == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto* subscription = static_cast<const DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS*>(recipient);
    if (subscription->Callback == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    EmuRequest("note power register");
    *handle = PowerNotifier::Instance().Register(*subscription);
    return ERROR_SUCCESS;
}

DWORD WINAPI Facade_PowerUnregisterSuspendResumeNotification(HPOWERNOTIFY handle) {
    EmuRequest("note power unregister");
    return PowerNotifier::Instance().Unregister(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // extern "C"

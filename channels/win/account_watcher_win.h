// The account watcher over the Windows Runtime class MobileBroadbandAccountWatcher.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "channels/account_watcher.h"
#include "common/win/com_ptr.h"
#include "compat/winrt_network_operators.h"

class WinRtAccountWatcher final : public AccountWatcherPort {
public:
    // Activates the class with its default constructor. A failed activation (a process the
    // modem's service refuses gets E_ACCESSDENIED) is logged with its code and leaves a
    // watcher that reports Aborted and throws on AttachHandlers and Start, so that start-up
    // takes its orderly fatal end.
    WinRtAccountWatcher();

    int Status() override;
    void AttachHandlers() override;
    void Start() override;
    void Stop() override;
    EnumerationEnd WaitForEnumerationEnd(uint32_t timeoutMs) override;
    // Not while another thread uses the watcher: start-up's gate runs before the recovery is
    // armed, and the recovery has ended before tear-down stops the watcher.
    void Recreate() override;

private:
    QuarnWinRT::IMobileBroadbandAccountWatcher* Watcher();
    void Activate();

    ComPtr<QuarnWinRT::IMobileBroadbandAccountWatcher> m_Watcher;
    HRESULT m_ActivationResult = S_OK;

    // A manual-reset event, set by the EnumerationCompleted and Stopped handlers, and which of
    // them came first. Shared with them: the runtime may still call them after this object
    // is gone. Each watcher object has its own.
    struct EnumerationEnded {
        EnumerationEnded() : Event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
        ~EnumerationEnded() { CloseHandle(Event); }
        void Came(EnumerationEnd end) {
            int none = static_cast<int>(EnumerationEnd::None);
            First.compare_exchange_strong(none, static_cast<int>(end));
            SetEvent(Event);
        }
        const HANDLE Event;
        std::atomic<int> First{static_cast<int>(EnumerationEnd::None)};
    };

    std::shared_ptr<EnumerationEnded> m_Ended;
};

// The pauses between the watcher's restarts, cut short for good by EndPauses at exit.
class EventRestartPause final : public RestartPause {
public:
    EventRestartPause() : m_Ending(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~EventRestartPause() override { CloseHandle(m_Ending); }
    EventRestartPause(const EventRestartPause&) = delete;
    EventRestartPause& operator=(const EventRestartPause&) = delete;
    bool PauseMs(uint32_t milliseconds) override { return WaitForSingleObject(m_Ending, milliseconds) == WAIT_TIMEOUT; }
    void EndPauses() override { SetEvent(m_Ending); }

private:
    const HANDLE m_Ending;
};

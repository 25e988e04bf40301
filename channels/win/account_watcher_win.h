// The account watcher over the Windows Runtime class MobileBroadbandAccountWatcher.
#pragma once

#include <windows.h>

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
    void WaitForEnumerationEnd(uint32_t timeoutMs) override;

private:
    QuarnWinRT::IMobileBroadbandAccountWatcher* Watcher();

    ComPtr<QuarnWinRT::IMobileBroadbandAccountWatcher> m_Watcher;
    HRESULT m_ActivationResult = S_OK;

    // A manual-reset event, set by the EnumerationCompleted and Stopped handlers. Shared with
    // them: the runtime may still call them after this object is gone.
    struct EnumerationEnd {
        EnumerationEnd() : Event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
        ~EnumerationEnd() { CloseHandle(Event); }
        const HANDLE Event;
    };

    std::shared_ptr<EnumerationEnd> m_Ended = std::make_shared<EnumerationEnd>();
};

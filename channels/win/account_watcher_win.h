// The account watcher over the Windows Runtime class MobileBroadbandAccountWatcher.
#pragma once

#include "channels/account_watcher.h"
#include "common/win/com_ptr.h"
#include "compat/winrt_network_operators.h"

class WinRtAccountWatcher final : public AccountWatcherPort {
public:
    // Activates the class with its default constructor; throws HresultError on failure.
    WinRtAccountWatcher();

    int Status() override;
    void AttachHandlers() override;
    void Start() override;
    void Stop() override;

private:
    ComPtr<QuarnWinRT::IMobileBroadbandAccountWatcher> m_Watcher;
};

#include "app/win/platform_ports.h"

#include <windows.h>
#include <objbase.h>

#include "channels/account_watcher.h"
#include "channels/pipe_server.h"
#include "app/window_messages.h"
#include "mbnapi/mbn_interface.h"
#include "common/win/com_ptr.h"
#include "modem/mbim_command.h"
#include "modem/win/execute_cmd.h"
#include "modem/win/mbim_winrt.h"
#include "monitor/condition_check.h"
#include "monitor/device_monitor.h"
#include "app/quarn_vlmr_app.h"
#include "monitor/win/cfgmgr_registry.h"
#include "monitor/win/modem_status_winrt.h"
#include "monitor/win/sim_status_event.h"

namespace {

class ConditionCheckListener final : public SimStatusRequests {
public:
    void TriggerUpdateSystemTrayIconStatus() override {
        ConditionCheck::GetInstance().TriggerUpdateSystemTrayIconStatus();
    }
    void PowerOnSimOn4GPlatform() override { ConditionCheck::PowerOnSimOn4GPlatform(); }
    uint32_t SimEjectCount() override { return MBIMCommand::SimEjectCount(); }
    void PowerOnSimOn4GPlatformUnlessEjectedSince(uint32_t ejectCount) override {
        ConditionCheck::PowerOnSimOn4GPlatformUnlessEjectedSince(ejectCount);
    }
    void ReleaseHeldRequest() override { ConditionCheck::GetInstance().ReleaseHeldRequest(); }
};

class MultithreadedApartment final : public ComApartment {
public:
    // A thread already in the apartment gets S_FALSE, which is fine; the apartment is never left.
    void JoinMultithreadedApartment() override { ThrowIfFailed(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
};

class HiddenConsole final : public ConsoleRunner {
public:
    std::string Execute(const std::wstring& commandLine) override { return ExecuteCMD().Execute(commandLine); }
};

class ThreadSleeper final : public Sleeper {
public:
    void SleepMs(uint32_t milliseconds) override { Sleep(milliseconds); }
};

class MbimSlotQuery final : public SimSlotQuery {
public:
    QuarnHresult GetSimSlot(uint32_t* slot, ModulePlatform platform) override {
        return MBIMCommand::GetSimSlot(slot, platform);
    }
};

class AppWindowMessenger final : public WindowMessenger {
public:
    // Read at each send: null until the window exists, and such a message is lost.
    void SendToAppWindow(uint32_t message) override {
        SendMessageW(static_cast<HWND>(QuarnVlmrApp::GetInstance().m_hWnd), message, 0, 0);
    }
};

class HiddenWindowByClass final : public ControlWindow {
public:
    bool Exists() override { return FindWindowW(APP_WINDOW_CLASS, nullptr) != nullptr; }
    void PostExitCommand() override {
        PostMessageW(FindWindowW(APP_WINDOW_CLASS, nullptr), WM_EXIT_CMD, 0, EXIT_CMD_LPARAM);
    }
};

MultithreadedApartment g_Apartment;
ThreadSleeper g_Sleeper;

}  // namespace

ConditionCheck& ConditionCheck::GetInstance() {
    static WinRtModemStatusReader modem;
    static MbimSlotQuery slots;
    static AppWindowMessenger window;
    static ConditionCheck instance(CreateSimStatusEvent(), {&modem, &slots, &g_Sleeper, &window, &g_Apartment});
    return instance;
}

void AttachPlatformPorts() {
    static CfgMgrRegistry registry;
    static ConditionCheckListener listener;
    static WinRtModemTransport transport;
    static HiddenConsole console;
    DeviceMonitor::Attach(&registry, &listener);
    AttachAccountWatcherRequests(&listener);
    AttachMbnSimStatusRequests(&listener);
    static HiddenWindowByClass controlWindow;
    PipeServer::Attach(&controlWindow);
    MBIMCommand::Attach({&transport, &g_Apartment, &console, &g_Sleeper});
}

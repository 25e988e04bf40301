#include "app/win/platform_ports.h"

#include <windows.h>
#include <objbase.h>

#include "common/win/com_ptr.h"
#include "modem/mbim_command.h"
#include "modem/win/execute_cmd.h"
#include "modem/win/mbim_winrt.h"
#include "monitor/condition_check.h"
#include "monitor/device_monitor.h"
#include "monitor/win/cfgmgr_registry.h"

namespace {

class ConditionCheckListener final : public ModemPresenceListener {
public:
    void TriggerUpdateSystemTrayIconStatus() override {
        ConditionCheck::GetInstance().TriggerUpdateSystemTrayIconStatus();
    }
    void PowerOnSimOn4GPlatform() override { ConditionCheck::PowerOnSimOn4GPlatform(); }
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

}  // namespace

void AttachPlatformPorts() {
    static CfgMgrRegistry registry;
    static ConditionCheckListener listener;
    static WinRtModemTransport transport;
    static MultithreadedApartment apartment;
    static HiddenConsole console;
    static ThreadSleeper sleeper;
    DeviceMonitor::Attach(&registry, &listener);
    MBIMCommand::Attach({&transport, &apartment, &console, &sleeper});
}

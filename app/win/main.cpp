// Entry point: brings the subsystems up in order, runs the hidden window's message loop,
// then takes them down. The exit code is 0 on every path.
#include <windows.h>
#include <objbase.h>
#include <process.h>

#include <string>

#include "app/quarn_vlmr_app.h"
#include "app/win/app_window.h"
#include "app/win/platform_ports.h"
#include "app/win/single_instance.h"
#include "app/window_messages.h"
#include "channels/account_watcher.h"
#include "channels/win/account_watcher_win.h"
#include "channels/pipe_server.h"
#include "common/win/thread_name.h"
#include "mbnapi/mbn_interface.h"
#include "monitor/condition_check.h"
#include "monitor/device_monitor.h"
#include "monitor/win/power_notifications.h"
#include "trace/trace.h"

namespace {

struct NamedThread {
    unsigned(__stdcall* Body)(void*);
    const wchar_t* Name;
};

// Names the thread from inside it: a name given from outside may come before the thread is
// fully started, and Wine then drops it (Wine passes the names on as Linux thread names).
unsigned __stdcall RunNamedThread(void* argument) {
    const NamedThread thread = *static_cast<NamedThread*>(argument);
    delete static_cast<NamedThread*>(argument);
    NameThread(GetCurrentThread(), thread.Name);
    return thread.Body(nullptr);
}

// Names of at most 15 characters, the length of a Linux thread name.
bool StartThread(unsigned(__stdcall* body)(void*), const wchar_t* name) {
    // The threads live until the process ends; their handles are not needed.
    auto* thread = new NamedThread{body, name};
    if (_beginthreadex(nullptr, 0, RunNamedThread, thread, 0, nullptr) == 0) {
        delete thread;
        return false;
    }
    return true;
}

// Asks the Restart Manager to start this instance again once an installer that closed it
// for an update is done. Not after a crash or a hang (the user chooses then), and not after
// a reboot: the Run value starts it at the next logon. Windows 7 and later; resolved at run
// time all the same, and its absence only costs the restart.
void RegisterForRestartAfterUpdate() {
    using RegisterRestart = HRESULT(WINAPI*)(PCWSTR, DWORD);
    const auto registerRestart = reinterpret_cast<RegisterRestart>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "RegisterApplicationRestart")));
    const HRESULT result = registerRestart != nullptr
                               ? registerRestart(L"", RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT)
                               : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    if (FAILED(result)) {
        LOG_WARNING("[WARNING] wWinMain : %s: RegisterApplicationRestart failed: 0x%X\n", "wWinMain",
                    static_cast<unsigned>(result));
    }
}

// After a restart of the mobile broadband service, the wrapper's objects are the old
// service's: they are dropped and the wrapper connects again.
class WrapperReconnect final : public ServiceReconnect {
public:
    bool ReconnectAfterServiceRestart() override { return SUCCEEDED(ReconnectMBIMInterfaceAfterServiceRestart()); }
};

// Lives until the process ends, as its thread does.
AccountWatcherRecovery* g_Recovery = nullptr;

unsigned __stdcall RecoverAccountWatcher(void*) {
    while (g_Recovery->RecoverOnce()) {
    }
    return 0;
}

// The recovery ends before the watcher that it restarts goes, on every way out.
struct RecoveryEnd {
    ~RecoveryEnd() {
        if (g_Recovery != nullptr) {
            g_Recovery->EndForExit();
        }
    }
};

// Steps that end in tear-down return early; the message loop is the normal way out.
void RunApplication(HINSTANCE hInstance, AccountWatcherPort& watcher) {
    LOG_INFO("[INFO] wWinMain : \n\nexe version: %ls\n\n", ReadExecutableVersion().c_str());

    StartThread(HandleUpdateSimStatusEvent, L"quarn-simstatus");

    DeviceMonitor::InitializeMonitor(DEVICE_SLOT_5G, &QUARN_GUID_DEVINTERFACE_NET, L"PCI#VEN_14C3&DEV_4D75",
                                     L"QUARN_WWAN_NETADAPTER");
    DeviceMonitor::InitializeMonitor(DEVICE_SLOT_4G, &QUARN_GUID_DEVINTERFACE_NET, L"VID_5A3E&PID_0AC9&MI_00",
                                     L"CDC_MBIM_DEVICE");

    InitRegisterMBIMInterface();

    // Armed before the gate, so that no stop after the first enumeration is missed; a stop
    // before it fails the gate, and then nothing is restarted.
    g_Recovery = new AccountWatcherRecovery(watcher, *new EventRestartPause, *new WrapperReconnect);
    AttachAccountWatcherRecovery(g_Recovery);
    g_Recovery->Arm();
    if (!StartAccountWatcherAtStartUp(watcher, ACCOUNT_ENUMERATION_WAIT_MS)) {
        return;
    }
    StartThread(RecoverAccountWatcher, L"quarn-watcher");

    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
    DeviceMonitor::RegisterPowerNotification();
    ConditionCheck::PowerOnSimOn4GPlatform();

    QuarnVlmrApp& app = QuarnVlmrApp::GetInstance();
    app.InitUISetting();

    app.m_hWnd = FindWindowW(APP_WINDOW_CLASS, nullptr);

    if (!StartThread(PipeServer::CreatePipeServer, L"quarn-pipe")) {
        LOG_ERROR("[ERROR] wWinMain : Create Pipe Server FAILED!\n");
        return;
    }
    if (app.m_hWnd != nullptr) {
        LOG_ERROR("[ERROR] wWinMain : The Window is already exist\n");
        return;
    }

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = HiddenWndProc;
    windowClass.hInstance = hInstance;
    windowClass.lpszClassName = APP_WINDOW_CLASS;
    const ATOM classAtom = RegisterClassW(&windowClass);
    if (classAtom == 0) {
        return;
    }

    app.m_hInstance = hInstance;
    // A top-level window, never shown: message-only windows miss broadcasts such as
    // WM_QUERYENDSESSION and "TaskbarCreated".
    app.m_hWnd = CreateWindowExW(0, MAKEINTATOM(classAtom), L"", 0, 0, 0, 0, 0, nullptr, nullptr, hInstance,
                                 nullptr);
    const HWND window = static_cast<HWND>(app.m_hWnd);
    if (window != nullptr) {
        // Only the instance that runs on: a second one ends above.
        RegisterForRestartAfterUpdate();
        MSG message{};
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (IsWindow(window)) {
            DestroyWindow(window);
        }
    }
    UnregisterClassW(MAKEINTATOM(classAtom), static_cast<HINSTANCE>(app.m_hInstance));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, PWSTR /*lpCmdLine*/, int /*nShowCmd*/) {
    // First of all: a second instance of the session ends having touched nothing.
    const SingleInstance instance(SINGLE_INSTANCE_MUTEX_NAME, SINGLE_INSTANCE_WAIT_MS);
    if (!instance.IsFirst()) {
        RegisterTraceProvider();
        LOG_ERROR("[ERROR] wWinMain : The Window is already exist\n");
        UnregisterTraceProvider();
        return 0;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        return 0;
    }
    RegisterTraceProvider();
    if (instance.SetupError() != 0) {
        LOG_WARNING("[WARNING] wWinMain : %s: single-instance mutex FAILED! error: %lu\n", "wWinMain",
                    instance.SetupError());
    }
    AttachPlatformPorts();
    try {
        WinRtAccountWatcher watcher;
        {
            RecoveryEnd recoveryEnd;
            RunApplication(hInstance, watcher);
        }
        const int stopResult = HandleMobileBroadbandAccountWatcher(watcher, ACCOUNT_WATCHER_TARGET_STOP);
        LOG_INFO("[INFO] wWinMain : %s: Stop monitor MobileBroadbandAccountWatcher...Result: %d\n", "wWinMain",
                 stopResult);
    } catch (...) {
        LOG_ERROR("[ERROR] wWinMain : Catched unknown exception\n");
    }
    DeInitRegisterMBIMInterface();
    DeviceMonitor::UnRegisterPowerNotification();
    UnregisterTraceProvider();
    return 0;
}

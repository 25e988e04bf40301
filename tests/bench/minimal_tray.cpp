// The floor of a tray program, for the benchmark (scripts/bench.sh): a hidden top-level
// window and one Shell_NotifyIconW add, nothing else. Its start-up time, memory and idle
// cost are what any tray program pays under the same Wine. WM_CLOSE ends it.
//
// With the arguments "startup-work 4g|5g" it first does the work that the program's
// start-up cannot leave out, so that the start-up row compares like with like: the same
// emulator facades loaded the same way (Configuration Manager and power notifications
// from beside it, the Mobile Broadband COM classes, the Runtime classes), the Mobile
// Broadband wrapper's subscriptions and queries, the account
// watcher started with its first enumeration, the calls of the first decision, and the
// two pauses that the program must take (50 ms before its interface subscriptions, 100 ms
// between the icon's removal and its add).
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>

#include "compat/cfgmgr_power.h"
#include "tests/bench/floor_client.h"

namespace {

constexpr wchar_t kWindowClass[] = L"Quarn_Minimal_Tray";
constexpr UINT kTrayNotify = WM_USER + 1;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        NOTIFYICONDATAW record{};
        record.cbSize = sizeof(record);
        record.hWnd = window;
        Shell_NotifyIconW(NIM_DELETE, &record);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

template <typename Function>
Function Resolve(const wchar_t* library, const char* name) {
    const HMODULE module = LoadLibraryW(library);
    return module == nullptr ? nullptr : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

DWORD CALLBACK IgnoreDeviceChange(HCMNOTIFICATION, PVOID, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA, DWORD) {
    return ERROR_SUCCESS;
}

ULONG CALLBACK IgnorePowerChange(PVOID, ULONG, PVOID) { return ERROR_SUCCESS; }

void DoStartupWork(bool fourG) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // The device monitor's registration and listing, once a slot.
    const auto registerNotification =
        Resolve<QuarnCompat::CmRegisterNotificationFn>(L"cfgmgr32.dll", "CM_Register_Notification");
    GUID netClass = QuarnCompat::GUID_DEVINTERFACE_NET;
    for (int slot = 0; slot < 2; ++slot) {
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof(filter);
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        filter.u.DeviceInterface.ClassGuid = netClass;
        HCMNOTIFICATION notify = nullptr;
        if (registerNotification != nullptr) {
            registerNotification(&filter, nullptr, IgnoreDeviceChange, &notify);
        }
        ULONG length = 0;
        CM_Get_Device_Interface_List_SizeW(&length, &netClass, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        std::wstring list(length + 1, L'\0');
        CM_Get_Device_Interface_ListW(&netClass, nullptr, list.data(), length, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    }
    ConnectMobileBroadbandFloor();
    // The account watcher, started, with its first enumeration.
    FollowAccountUpdates();
    const auto registerPower = Resolve<QuarnCompat::PowerRegisterSuspendResumeNotificationFn>(
        L"powrprof.dll", "PowerRegisterSuspendResumeNotification");
    DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS subscription{IgnorePowerChange, nullptr};
    HPOWERNOTIFY power = nullptr;
    if (registerPower != nullptr) {
        registerPower(DEVICE_NOTIFY_CALLBACK, &subscription, &power);
    }
    DecideFloor(fourG);
    Sleep(100);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const bool startupWork = arguments != nullptr && count == 3 && std::wstring(arguments[1]) == L"startup-work";
    const bool fourG = startupWork && std::wstring(arguments[2]) == L"4g";
    LocalFree(arguments);
    if (startupWork) {
        DoStartupWork(fourG);
    }
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    if (RegisterClassW(&windowClass) == 0) {
        return 1;
    }
    const HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    NOTIFYICONDATAW record{};
    record.cbSize = sizeof(record);
    record.hWnd = window;
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = kTrayNotify;
    record.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
    lstrcpynW(record.szTip, L"Minimal tray", ARRAYSIZE(record.szTip));
    Shell_NotifyIconW(NIM_ADD, &record);

    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

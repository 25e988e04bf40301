// The floor of a tray program, for the benchmark (scripts/bench.sh): a hidden top-level
// window and one Shell_NotifyIconW add, nothing else. Its start-up time, memory and idle
// cost are what any tray program pays under the same Wine. WM_CLOSE ends it.
#include <windows.h>
#include <shellapi.h>

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

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
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

// Stands in for an instance of the program that will not close: it owns a hidden window of
// the program's class, as the program does, and ignores WM_CLOSE (as an instance does that is
// hung, or elevated where a user's WM_CLOSE never arrives). Installed under the program's
// name, it is what the installer's stopper must end at its deadline.
//
//   stubborn_instance.exe     runs until it is ended; exit code 0 only if its loop ever quits
#include <windows.h>

namespace {

LRESULT CALLBACK StubbornProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        return 0;  // not DefWindowProc, which would destroy the window
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = StubbornProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"Quarn_VLMR_APP";
    if (RegisterClassW(&windowClass) == 0 ||
        CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr) ==
            nullptr) {
        return 2;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

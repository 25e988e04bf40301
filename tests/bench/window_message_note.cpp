// A hook procedure that the benchmark driver sets (WH_CALLWNDPROC) on the thread of
// QuarnVelmora's hidden window, so that the system loads this DLL into the program: when the
// SIM status worker's show or hide message reaches the window, it writes a note into the
// modem emulator's journal. The decision's latency then ends on the same clock as the
// trigger that started it, without anything in the program itself.
#include <windows.h>

#include <string>

#include "emulator/win/emu_channel.h"

namespace {
constexpr UINT kHideIconMessage = WM_USER + 2;
constexpr UINT kShowIconMessage = WM_USER + 3;
}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK NoteWindowMessage(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
        // Before the window procedure runs, so the note is the moment the message arrives.
        if (sent->message == kHideIconMessage || sent->message == kShowIconMessage) {
            EmuRequest("note window-message " + std::to_string(sent->message));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

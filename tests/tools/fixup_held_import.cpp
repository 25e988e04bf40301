// An import of a test image whose loading the test holds. When the first export call of the
// image binds its imports and so loads this DLL, DllMain signals "entered" and waits for
// "release": the test then knows that call is inside the fix-up while it makes the second.
// The events are named after the process, so parallel test runs do not meet; where they do
// not exist (any other loader of this DLL) nothing waits.
#include <windows.h>

#include <cwchar>

namespace {

constexpr DWORD kLongestHoldMs = 60000;  // a test that never lets go must still end

HANDLE OpenNamedEvent(const wchar_t* role, DWORD access) {
    wchar_t name[64];
    std::swprintf(name, 64, L"QuarnFixupHeldImport.%lu.%ls", GetCurrentProcessId(), role);
    return OpenEventW(access, FALSE, name);
}

}  // namespace

extern "C" __declspec(dllexport) int QuarnFixupExtraImport() {
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE entered = OpenNamedEvent(L"entered", EVENT_MODIFY_STATE);
        HANDLE release = OpenNamedEvent(L"release", SYNCHRONIZE);
        if (entered != nullptr && release != nullptr) {
            SetEvent(entered);
            WaitForSingleObject(release, kLongestHoldMs);
        }
        if (entered != nullptr) {
            CloseHandle(entered);
        }
        if (release != nullptr) {
            CloseHandle(release);
        }
    }
    return TRUE;
}

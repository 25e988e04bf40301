// The live objects of an emulator facade DLL loaded in this process (its QuarnEmuLiveObjects
// export, activation factories aside): after a scenario they are back where they were when
// the product released every reference it took.
#pragma once

#include <windows.h>

// 0 while the DLL is not loaded.
inline long FacadeObjects(const wchar_t* dll) {
    const HMODULE facade = GetModuleHandleW(dll);
    if (facade == nullptr) {
        return 0;
    }
    using Count = long(WINAPI*)();
    const auto count = reinterpret_cast<Count>(reinterpret_cast<void*>(GetProcAddress(facade, "QuarnEmuLiveObjects")));
    return count != nullptr ? count() : -1;
}

constexpr wchar_t RUNTIME_FACADE_DLL[] = L"quarn_emu_winrt.dll";
constexpr wchar_t MBN_FACADE_DLL[] = L"quarn_emu_mbn.dll";

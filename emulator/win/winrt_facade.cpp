// The emulator's Windows Runtime classes, loaded by the system's activation (RoGetActivationFactory
// finds this DLL by the DllPath registered in the test prefix): MobileBroadbandModem with its
// device information, device service, command sessions and asynchronous results;
// MobileBroadbandAccountWatcher with its events; CryptographicBuffer's byte-array statics.
// Every answer comes from the model in modem_emu_server.exe; without it there is no modem.
// This file: the DLL's entry points; the classes are in winrt_facade_*.cpp.
#include <windows.h>
#include <activation.h>
#include <roapi.h>
#include <winstring.h>

#include <atomic>
#include <string>

#include "compat/winrt_network_operators.h"
#include "emulator/win/emu_channel.h"
#include "emulator/win/winrt_facade_internal.h"

using namespace QuarnWinRT;
using namespace WinRTFacade;

namespace WinRTFacade {

std::atomic<long> g_Objects{0};
std::atomic<long> g_Factories{0};

}  // namespace WinRTFacade

extern "C" __declspec(dllexport) HRESULT WINAPI DllGetActivationFactory(HSTRING classId, IActivationFactory** factory) {
    if (factory == nullptr) {
        return E_POINTER;
    }
    *factory = nullptr;
    const std::wstring name = WindowsGetStringRawBuffer(classId, nullptr);
    const char* kind = name == RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandModem         ? "modem"
                       : name == RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandAccountWatcher ? "watcher"
                                                                                                            : "buffer";
    // An activation may fail for a moment (a busy broker, a service starting): as scripted.
    const std::string reply = EmuRequest(std::string("rt activate ") + kind);
    if (HRESULT scripted = S_OK; ScriptedFailure(reply, &scripted)) {
        return scripted;
    }
    if (name == RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandModem) {
        *factory = NewModemStatics();
    } else if (name == RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandAccountWatcher) {
        *factory = NewAccountWatcherFactory();
    } else if (name == RuntimeClass_Windows_Security_Cryptography_CryptographicBuffer) {
        *factory = NewCryptographicBufferStatics();
    } else {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return S_OK;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow() {
    return g_Objects == 0 && g_Factories == 0 ? S_OK : S_FALSE;
}

// The facade's objects alive now, activation factories aside, for tests that a client
// releases what it took.
extern "C" __declspec(dllexport) long WINAPI QuarnEmuLiveObjects() { return g_Objects.load(); }

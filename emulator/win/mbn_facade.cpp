// The emulator's Mobile Broadband COM server (quarn_emu_mbn.dll), loaded in-process by
// CoCreateInstance through the CLSIDs scripts/emu-prefix.sh registers: the interface,
// connection, connection-profile and device-services managers, the objects they hand out,
// and their connection points. Every answer comes from the model in modem_emu_server.exe
// ("mbn rt ..." requests); without it there is no modem.
//
// Threading: objects may be called from any thread. Notifications run on facade threads that
// joined the multithreaded apartment: one follows the model's events, one delivers immediate
// completions in order, and each delayed or early completion has a thread of its own. No
// facade lock is held while a sink runs. By default nothing waits for a delivery; on request
// Unadvise waits for the deliveries in progress and calls deliver a notification before they
// return (see emulator/README.md), so a client that holds its own lock across its calls while
// its sinks need it is found out.
//
// This file: the class objects and the DLL's entry points; the rest is in mbn_facade_*.cpp.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include "common/win/com_ptr.h"
#include "compat/mbn_api.h"
#include "emulator/win/mbn_facade_internal.h"

using namespace QuarnMbn;
using namespace MbnFacade;

namespace MbnFacade {

namespace {

class ClassFactory final : public ComObject<ClassFactory, IClassFactory> {
public:
    explicit ClassFactory(const CLSID& clsid) : m_Clsid(clsid) {}
    void* Find(REFIID iid) { return iid == IID_IClassFactory ? static_cast<IClassFactory*>(this) : nullptr; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        // A service that is down makes nothing.
        if (const HRESULT down = ServiceAnswer(ServiceLife()); FAILED(down)) {
            return down;
        }
        IUnknown* object = nullptr;
        if (m_Clsid == CLSID_MbnInterfaceManager) {
            object = NewInterfaceManager();
        } else if (m_Clsid == CLSID_MbnConnectionManager) {
            object = NewConnectionManager();
        } else if (m_Clsid == CLSID_MbnConnectionProfileManager) {
            object = NewConnectionProfileManager();
        } else {
            object = NewDeviceServicesManager();
        }
        const HRESULT hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    const CLSID m_Clsid;
};

}  // namespace

}  // namespace MbnFacade

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (clsid != CLSID_MbnInterfaceManager && clsid != CLSID_MbnConnectionManager &&
        clsid != CLSID_MbnConnectionProfileManager && clsid != CLSID_MbnDeviceServicesManager) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    ComPtr<ClassFactory> factory(new ClassFactory(clsid));
    return factory.Get()->QueryInterface(iid, out);
}

// Facade threads run for the life of the process, so the DLL never unloads.
STDAPI DllCanUnloadNow() { return S_FALSE; }

// The facade's objects alive now.
extern "C" long WINAPI QuarnEmuLiveObjects() { return g_LiveObjects.load(); }

// Radio, connection and registration state, read synchronously for outside callers. They
// wait on no operation (a set may wait for its completion for as long as its caller asks):
// each takes a reference of its own to what it reads, under the state lock, and calls with
// none held.
#include <windows.h>
#include <oleauto.h>

#include "common/win/com_ptr.h"
#include "mbnapi/mbn_exports.h"
#include "mbnapi/win/mbn_module.h"
#include "trace/trace.h"

using namespace QuarnMbn;

namespace MbnWrapper {

HRESULT GetRadioState(wchar_t* interfaceID, MBN_RADIO* softwareState, MBN_RADIO* hardwareState) {
    if (softwareState == nullptr || hardwareState == nullptr) {
        return E_POINTER;
    }
    const ComPtr<IMbnInterfaceManager> manager(TakeReference(g_InterfaceMgr));
    if (!manager) {
        *softwareState = MBN_RADIO_OFF;
        *hardwareState = MBN_RADIO_OFF;
        return S_OK;
    }
    ComPtr<IMbnInterface> mbnInterface;
    HRESULT hr = manager->GetInterface(interfaceID, mbnInterface.Put());
    if (FAILED(hr) || !mbnInterface) {
        LOG_INFO("[INFO] GetRadioState : GetInterface FAILED\n");
        return FAILED(hr) ? hr : E_POINTER;
    }
    ComPtr<IMbnRadio> radio;
    hr = mbnInterface->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(radio.Put()));
    if (FAILED(hr)) {
        LOG_INFO("[INFO] GetRadioState : QueryInterface FAILED\n");
        return hr;
    }
    MBN_RADIO software = MBN_RADIO_OFF;
    MBN_RADIO hardware = MBN_RADIO_OFF;
    hr = radio->get_SoftwareRadioState(&software);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] GetRadioState : get_SoftwareRadioState FAILED\n");
        return hr;
    }
    hr = radio->get_HardwareRadioState(&hardware);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] GetRadioState : get_HardwareRadioState FAILED\n");
        return hr;
    }
    if (hr == S_OK) {
        *softwareState = software;
        *hardwareState = hardware;
    }
    return hr;
}

HRESULT GetConnectionState(wchar_t* interfaceID, MBN_ACTIVATION_STATE* state) {
    if (state == nullptr) {
        return E_POINTER;
    }
    const ComPtr<IMbnConnectionManager> manager(TakeReference(g_MbnConnectionMgr));
    if (!manager) {
        return S_OK;
    }
    ComPtr<IMbnConnection> connection;
    HRESULT hr = manager->GetConnection(interfaceID, connection.Put());
    if (FAILED(hr) && hr != E_PENDING) {
        LOG_INFO("[INFO] GetConnectionState : GetConnection FAILED: 0x%X\n", static_cast<unsigned>(hr));
        return hr;
    }
    // A pending lookup may give no connection yet; there is nothing to ask then.
    if (!connection) {
        return hr;
    }
    BSTR profileName = nullptr;
    hr = connection->GetConnectionState(state, &profileName);
    SysFreeString(profileName);
    if (FAILED(hr) && hr != E_PENDING) {
        LOG_INFO("[INFO] GetConnectionState : GetConnectionState FAILED: 0x%X\n", static_cast<unsigned>(hr));
    }
    return hr;
}

HRESULT GetRegisterState(wchar_t*, MBN_REGISTER_STATE* state) {
    if (state == nullptr) {
        return E_POINTER;
    }
    // The sink refreshes the registration: a reference of our own for the call.
    const ComPtr<IMbnRegistration> registration(TakeReference(g_MbnRegistration));
    if (!registration) {
        LOG_INFO("[INFO] GetRegisterState : g_MbnRegistration is NULL. hr: 0x%X\n", static_cast<unsigned>(E_FAIL));
        return E_FAIL;
    }
    const HRESULT hr = registration->GetRegisterState(state);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] GetRegisterState : GetRegisterState FAILED: 0x%X\n", static_cast<unsigned>(hr));
    }
    return hr;
}

}  // namespace MbnWrapper

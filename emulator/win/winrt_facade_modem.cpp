// The Runtime facade's MobileBroadbandModem: its statics, the modem and its device information.
#include "emulator/win/winrt_facade_internal.h"

#include <cstdio>
#include <string>

#include "emulator/win/emu_channel.h"

using namespace QuarnWinRT;

namespace WinRTFacade {

namespace {

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

class DeviceInformation final : public RuntimeObject<DeviceInformation, IMobileBroadbandDeviceInformation> {
public:
    static constexpr const wchar_t* kClassName =
        L"Windows.Networking.NetworkOperators.MobileBroadbandDeviceInformation";

    void* Find(REFIID iid) {
        return iid == IID_IMobileBroadbandDeviceInformation ? static_cast<IMobileBroadbandDeviceInformation*>(this)
                                                            : nullptr;
    }
    HRESULT STDMETHODCALLTYPE get_NetworkDeviceStatus(NetworkDeviceStatus* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        const std::string reply = EmuRequest("rt status");
        if (HRESULT scripted = S_OK; ScriptedFailure(reply, &scripted)) {
            return scripted;  // the service is down
        }
        if (!IsOk(reply)) {
            // The modem went away while its object was held.
            return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
        }
        *value = static_cast<NetworkDeviceStatus>(std::stoi(reply.substr(3)));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Manufacturer(HSTRING* value) override { return MakeHString(L"Quarn Emulated", value); }
    HRESULT STDMETHODCALLTYPE get_Model(HSTRING* value) override { return MakeHString(L"Emulated WWAN modem", value); }
    HRESULT STDMETHODCALLTYPE get_FirmwareInformation(HSTRING* value) override { return MakeHString(L"1.0", value); }
    HRESULT STDMETHODCALLTYPE get_CellularClass(CellularClass*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_DataClasses(DataClasses*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_CustomDataClass(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_MobileEquipmentId(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_TelephoneNumbers(IVectorView_String**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_SubscriberId(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_SimIccId(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_DeviceType(MobileBroadbandDeviceType*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_DeviceId(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_CurrentRadioState(MobileBroadbandRadioState*) override { return E_NOTIMPL; }
};

class Modem final : public RuntimeObject<Modem, IMobileBroadbandModem> {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Networking.NetworkOperators.MobileBroadbandModem";

    void* Find(REFIID iid) {
        return iid == IID_IMobileBroadbandModem ? static_cast<IMobileBroadbandModem*>(this) : nullptr;
    }
    HRESULT STDMETHODCALLTYPE get_CurrentAccount(IMobileBroadbandAccount**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_DeviceInformation(IMobileBroadbandDeviceInformation** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = new DeviceInformation();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_MaxDeviceServiceCommandSizeInBytes(UINT32* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = 4096;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_MaxDeviceServiceDataSizeInBytes(UINT32* value) override {
        return get_MaxDeviceServiceCommandSizeInBytes(value);
    }
    HRESULT STDMETHODCALLTYPE get_DeviceServices(IVectorView_DeviceServiceInformation**) override { return E_NOTIMPL; }
    // A service the modem does not have gives no object, not an error.
    HRESULT STDMETHODCALLTYPE GetDeviceService(GUID id, IMobileBroadbandDeviceService** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = nullptr;
        const std::string reply = EmuRequest("rt service " + GuidText(id));
        if (HRESULT scripted = S_OK; ScriptedFailure(reply, &scripted)) {
            return scripted;
        }
        if (IsOk(reply)) {
            *value = NewDeviceService(id);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IsResetSupported(boolean* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ResetAsync(IAsyncAction**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentConfigurationAsync(IAsyncOperation_ModemConfiguration**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_CurrentNetwork(IMobileBroadbandNetwork**) override { return E_NOTIMPL; }
};

class ModemStatics final : public RuntimeObject<ModemStatics, IActivationFactory>, public IMobileBroadbandModemStatics {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Networking.NetworkOperators.MobileBroadbandModem";

    void* Find(REFIID iid) {
        if (iid == __uuidof(IActivationFactory)) {
            return static_cast<IActivationFactory*>(this);
        }
        if (iid == IID_IMobileBroadbandModemStatics) {
            return static_cast<IMobileBroadbandModemStatics*>(this);
        }
        return nullptr;
    }
    QUARN_FORWARD_INSPECTABLE()

    HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable**) override { return E_NOTIMPL; }  // static class
    HRESULT STDMETHODCALLTYPE GetDeviceSelector(HSTRING* value) override {
        return MakeHString(L"System.Devices.InterfaceClassGuid:=\"{CAC88484-7515-4C03-82E6-71A87ABAC361}\"", value);
    }
    HRESULT STDMETHODCALLTYPE FromId(HSTRING, IMobileBroadbandModem** value) override { return GetDefault(value); }
    // No modem in the machine gives no object and S_OK, as the system does.
    HRESULT STDMETHODCALLTYPE GetDefault(IMobileBroadbandModem** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        const std::string reply = EmuRequest("rt default");
        // As scripted: a process the modem's service refuses.
        if (HRESULT scripted = S_OK; ScriptedFailure(reply, &scripted)) {
            *value = nullptr;
            return scripted;
        }
        *value = IsOk(reply) && reply != "ok none" ? new Modem() : nullptr;
        return S_OK;
    }
};

}  // namespace

IActivationFactory* NewModemStatics() { return new ModemStatics(); }

}  // namespace WinRTFacade

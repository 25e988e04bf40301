// The Mobile Broadband facade's interfaces and connections, and the managers that hand them out.
#include "emulator/win/mbn_facade_internal.h"

#include "common/win/com_ptr.h"
#include "emulator/win/emu_channel.h"

namespace MbnFacade {

namespace {

constexpr wchar_t kProfileName[] = L"Emulated";

// The model's live values of one interface: ready, software radio, hardware radio, register
// state, signal, activation.
bool InterfaceValues(const std::string& id, std::vector<ULONG>* values) {
    const std::vector<std::string> reply = Words(EmuRequest("mbn rt interface " + id));
    if (!IsOk(reply) || reply.size() != 7) {
        return false;
    }
    values->clear();
    for (std::size_t i = 1; i < reply.size(); ++i) {
        values->push_back(std::stoul(reply[i]));
    }
    return true;
}

// Reads one of InterfaceValues into `out`; a gone modem is kGone.
template <typename T>
HRESULT ReadValue(const std::string& id, std::size_t index, T* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    std::vector<ULONG> values;
    if (!InterfaceValues(id, &values)) {
        return kGone;
    }
    *out = static_cast<T>(values[index]);
    return S_OK;
}

class Connection final : public ComObject<Connection, IMbnConnection> {
public:
    explicit Connection(std::string id) : m_Id(std::move(id)) {}
    void* Find(REFIID iid) { return iid == IID_IMbnConnection ? static_cast<IMbnConnection*>(this) : nullptr; }

    // A connection has the ID of its interface.
    HRESULT STDMETHODCALLTYPE get_ConnectionID(BSTR* value) override { return MakeBstr(m_Id, value); }
    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* value) override { return MakeBstr(m_Id, value); }
    HRESULT STDMETHODCALLTYPE Connect(MBN_CONNECTION_MODE, LPCWSTR, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Disconnect(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnectionState(MBN_ACTIVATION_STATE* state, BSTR* profile) override {
        if (profile == nullptr) {
            return E_POINTER;
        }
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
        }
        const HRESULT hr = ReadValue(m_Id, 5, state);
        if (FAILED(hr)) {
            return hr;
        }
        *profile = SysAllocString(kProfileName);
        return *profile == nullptr ? E_OUTOFMEMORY : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetVoiceCallState(MBN_VOICE_CALL_STATE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetActivationNetworkError(ULONG*) override { return E_NOTIMPL; }

private:
    const std::string m_Id;
};

class InterfaceManager final
    : public ComObject<InterfaceManager, IMbnInterfaceManager, IConnectionPointContainer> {
public:
    void* Find(REFIID iid) {
        if (iid == IID_IMbnInterfaceManager) {
            return static_cast<IMbnInterfaceManager*>(this);
        }
        return iid == IID_IConnectionPointContainer ? static_cast<IConnectionPointContainer*>(this) : nullptr;
    }

    HRESULT STDMETHODCALLTYPE GetInterface(LPCWSTR interfaceId, IMbnInterface** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
        }
        *value = nullptr;
        const std::string id = NarrowUpper(interfaceId);
        for (const std::string& present : PresentInterfaces()) {
            if (present == id) {
                *value = new Interface(present);
                return S_OK;
            }
        }
        return kNotFound;
    }
    HRESULT STDMETHODCALLTYPE GetInterfaces(SAFEARRAY** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
        }
        const std::vector<std::string> ids = PresentInterfaces();
        SAFEARRAY* array = SafeArrayCreateVector(VT_UNKNOWN, 0, static_cast<ULONG>(ids.size()));
        if (array == nullptr) {
            return E_OUTOFMEMORY;
        }
        for (LONG i = 0; i < static_cast<LONG>(ids.size()); ++i) {
            ComPtr<Interface> item(new Interface(ids[static_cast<std::size_t>(i)]));
            SafeArrayPutElement(array, &i, static_cast<IUnknown*>(static_cast<IMbnInterface*>(item.Get())));
        }
        *value = array;
        DeliverNested();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
        }
        return FindPoint(this, {&kInterfaceManagerEvents, &kInterfaceEvents, &kSignalEvents, &kRegistrationEvents, &kRadioEvents},
                         iid, point);
    }
};

class ConnectionManager final
    : public ComObject<ConnectionManager, IMbnConnectionManager, IConnectionPointContainer> {
public:
    void* Find(REFIID iid) {
        if (iid == IID_IMbnConnectionManager) {
            return static_cast<IMbnConnectionManager*>(this);
        }
        return iid == IID_IConnectionPointContainer ? static_cast<IConnectionPointContainer*>(this) : nullptr;
    }

    HRESULT STDMETHODCALLTYPE GetConnection(LPCWSTR connectionId, IMbnConnection** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
        }
        *value = nullptr;
        const std::string id = NarrowUpper(connectionId);
        const std::vector<std::string> reply = Words(EmuRequest("mbn rt connection " + id));
        if (!IsOk(reply)) {
            return kNotFound;
        }
        if (reply.size() == 2 && reply[1] == "pending-null") {
            return E_PENDING;
        }
        HRESULT scripted = S_OK;
        if (Scripted(reply, &scripted)) {
            return scripted;
        }
        *value = new Connection(id);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnections(SAFEARRAY**) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
        }
        return FindPoint(this, {&kConnectionManagerEvents, &kConnectionEvents}, iid, point);
    }
};

class ConnectionProfileManager final
    : public ComObject<ConnectionProfileManager, IMbnConnectionProfileManager, IConnectionPointContainer> {
public:
    void* Find(REFIID iid) {
        if (iid == IID_IMbnConnectionProfileManager) {
            return static_cast<IMbnConnectionProfileManager*>(this);
        }
        return iid == IID_IConnectionPointContainer ? static_cast<IConnectionPointContainer*>(this) : nullptr;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionProfiles(IMbnInterface*, SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnectionProfile(IMbnInterface*, LPCWSTR, IMbnConnectionProfile**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateConnectionProfile(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
        }
        return FindPoint(this, {}, iid, point);
    }
};

}  // namespace

void* Interface::Find(REFIID iid) {
    if (iid == IID_IMbnInterface) {
        return static_cast<IMbnInterface*>(this);
    }
    if (iid == IID_IMbnRadio) {
        return static_cast<IMbnRadio*>(this);
    }
    if (iid == IID_IMbnRegistration) {
        return static_cast<IMbnRegistration*>(this);
    }
    if (iid == IID_IMbnSignal) {
        const std::vector<std::string> reply = Words(EmuRequest("mbn rt signal"));
        return reply.size() == 2 && reply[1] == "missing" ? nullptr : static_cast<IMbnSignal*>(this);
    }
    return nullptr;
}

Interface::Interface(std::string id) : m_Id(std::move(id)) { ++g_InterfaceObjects; }

Interface::~Interface() {
    if (--g_InterfaceObjects == 0) {
        DeliverHeld();
    }
}

// IMbnInterface
HRESULT STDMETHODCALLTYPE Interface::get_InterfaceID(BSTR* value) { return MakeBstr(m_Id, value); }
template <typename T>
HRESULT Interface::ReadLive(const std::string& id, std::size_t index, T* out) {
    if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
        return gone;
    }
    return ReadValue(id, index, out);
}
HRESULT STDMETHODCALLTYPE Interface::GetReadyState(MBN_READY_STATE* value) { return ReadLive(m_Id, 0, value); }
HRESULT STDMETHODCALLTYPE Interface::GetConnection(IMbnConnection** value) {
    if (value == nullptr) {
        return E_POINTER;
    }
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
        }
    *value = nullptr;
    std::vector<ULONG> values;
    if (!InterfaceValues(m_Id, &values)) {
        return kGone;
    }
    *value = new Connection(m_Id);
    return S_OK;
}

// IMbnRadio
HRESULT STDMETHODCALLTYPE Interface::get_SoftwareRadioState(MBN_RADIO* value) { return ReadLive(m_Id, 1, value); }
HRESULT STDMETHODCALLTYPE Interface::get_HardwareRadioState(MBN_RADIO* value) { return ReadLive(m_Id, 2, value); }

// IMbnRegistration
HRESULT STDMETHODCALLTYPE Interface::GetRegisterState(MBN_REGISTER_STATE* value) { return ReadLive(m_Id, 3, value); }

// IMbnSignal
HRESULT STDMETHODCALLTYPE Interface::GetSignalStrength(ULONG* value) { return ReadLive(m_Id, 4, value); }

IMbnInterfaceManager* NewInterfaceManager() { return new InterfaceManager(); }
IMbnConnectionManager* NewConnectionManager() { return new ConnectionManager(); }
IMbnConnectionProfileManager* NewConnectionProfileManager() { return new ConnectionProfileManager(); }

}  // namespace MbnFacade

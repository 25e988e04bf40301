// The emulator's Mobile Broadband COM server (quarn_emu_mbn.dll), loaded in-process by
// CoCreateInstance through the CLSIDs scripts/emu-prefix.sh registers: the interface,
// connection, connection-profile and device-services managers, the objects they hand out,
// and their connection points. Every answer comes from the model in modem_emu_server.exe
// ("mbn rt ..." requests); without it there is no modem.
//
// Threading: objects may be called from any thread. Notifications run on facade threads that
// joined the multithreaded apartment: one follows the model's events, one delivers immediate
// completions in order, and each delayed or early completion has a thread of its own. No
// facade lock is held while a sink runs, and nothing waits for a delivery, so a client may
// hold its own lock around its calls and in its sinks.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <oleauto.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "compat/mbn_api.h"
#include "emulator/model/modem_model.h"
#include "common/win/com_ptr.h"
#include "emulator/win/detached_thread.h"
#include "emulator/win/emu_channel.h"

using namespace QuarnMbn;

namespace {

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);      // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
constexpr HRESULT kGone = static_cast<HRESULT>(0x8007048F);          // HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED)
constexpr ULONG kMaxCommandSize = 4096;
constexpr DWORD kEarlyWaitMs = 300;
constexpr wchar_t kProfileName[] = L"Emulated";

// ---------------------------------------------------------------------------------------
// Text and model helpers.

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Interface and service IDs are GUID strings: ASCII, compared without case.
std::string NarrowUpper(const wchar_t* text) {
    std::string narrow;
    for (; text != nullptr && *text != 0; ++text) {
        const wchar_t c = *text;
        narrow += static_cast<char>(c >= L'a' && c <= L'z' ? c - L'a' + L'A' : (c < 0x80 && c > L' ' ? c : L'?'));
    }
    return narrow;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

bool IsOk(const std::vector<std::string>& words) { return !words.empty() && words[0] == "ok"; }

HRESULT ParseHresult(const std::string& text) { return static_cast<HRESULT>(std::stoul(text, nullptr, 16)); }

std::string HexResult(HRESULT value) {
    char text[11];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// A model reply "ok fail HEX" scripts what the call returns (even S_OK), with no output.
bool Scripted(const std::vector<std::string>& reply, HRESULT* result) {
    if (reply.size() != 3 || reply[0] != "ok" || reply[1] != "fail") {
        return false;
    }
    *result = ParseHresult(reply[2]);
    return true;
}

std::vector<std::string> PresentInterfaces() {
    std::vector<std::string> words = Words(EmuRequest("mbn rt interfaces"));
    if (!IsOk(words)) {
        return {};  // no emulator: a machine without a modem
    }
    words.erase(words.begin());
    return words;
}

HRESULT MakeBstr(const std::string& text, BSTR* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = SysAllocString(Widen(text).c_str());
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

SAFEARRAY* ByteArray(const std::string& bytes) {
    if (bytes.empty()) {
        return nullptr;
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    void* data = nullptr;
    if (array != nullptr && SUCCEEDED(SafeArrayAccessData(array, &data))) {
        std::memcpy(data, bytes.data(), bytes.size());
        SafeArrayUnaccessData(array);
    }
    return array;
}

// The bytes of an [in] VT_UI1 array; NULL is no bytes.
HRESULT ReadByteArray(SAFEARRAY* array, std::string* bytes) {
    bytes->clear();
    if (array == nullptr) {
        return S_OK;
    }
    VARTYPE type = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(array, &type)) || type != VT_UI1 || SafeArrayGetDim(array) != 1) {
        return E_INVALIDARG;
    }
    LONG lower = 0;
    LONG upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) {
        return E_INVALIDARG;
    }
    bytes->assign(static_cast<const char*>(data), static_cast<std::size_t>(upper - lower + 1));
    SafeArrayUnaccessData(array);
    return S_OK;
}

// ---------------------------------------------------------------------------------------
// COM plumbing.

// Objects of this facade alive now, for tests that a client releases what it took.
std::atomic<long> g_LiveObjects{0};

// Reference counting and QueryInterface; `Find` in Derived names the interfaces an object
// answers besides IUnknown. Declared here once, the three IUnknown methods override those of
// every interface base.
template <typename Derived, typename... Interfaces>
class ComObject : public Interfaces... {
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;

public:
    ComObject() { ++g_LiveObjects; }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = iid == IID_IUnknown ? static_cast<IUnknown*>(static_cast<First*>(this))
                                   : static_cast<Derived*>(this)->Find(iid);
        if (*out == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_References;
        if (left == 0) {
            delete static_cast<Derived*>(this);
        }
        return left;
    }

protected:
    virtual ~ComObject() { --g_LiveObjects; }

private:
    std::atomic<ULONG> m_References{1};
};


// The event interfaces, by the name the model's requests use.
struct EventInterface {
    const GUID* Iid;
    const char* Name;
};
const EventInterface kInterfaceManagerEvents{&IID_IMbnInterfaceManagerEvents, "InterfaceManagerEvents"};
const EventInterface kInterfaceEvents{&IID_IMbnInterfaceEvents, "InterfaceEvents"};
const EventInterface kRegistrationEvents{&IID_IMbnRegistrationEvents, "RegistrationEvents"};
const EventInterface kSignalEvents{&IID_IMbnSignalEvents, "SignalEvents"};
const EventInterface kRadioEvents{&IID_IMbnRadioEvents, "RadioEvents"};
const EventInterface kConnectionManagerEvents{&IID_IMbnConnectionManagerEvents, "ConnectionManagerEvents"};
const EventInterface kConnectionEvents{&IID_IMbnConnectionEvents, "ConnectionEvents"};
const EventInterface kDeviceServicesEvents{&IID_IMbnDeviceServicesEvents, "DeviceServicesEvents"};

// Every advised sink of the process, by cookie: all containers share one registry, as the
// system's objects share one service.
class SinkRegistry {
public:
    static SinkRegistry& Instance() {
        static SinkRegistry* registry = new SinkRegistry();  // lives as long as the process
        return *registry;
    }

    // Takes over `sink`, a reference to the event interface `iid`.
    DWORD Add(const GUID& iid, IUnknown* sink) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const DWORD cookie = ++m_LastCookie;
        m_Sinks[cookie] = {iid, sink};
        return cookie;
    }

    // The sink's reference for the caller to release, or null for an unknown cookie.
    IUnknown* Remove(const GUID& iid, DWORD cookie) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto it = m_Sinks.find(cookie);
        if (it == m_Sinks.end() || it->second.first != iid) {
            return nullptr;
        }
        IUnknown* sink = it->second.second;
        m_Sinks.erase(it);
        return sink;
    }

    // Calls `call` for each sink of `iid` advised now, holding no lock while it runs.
    template <typename Sink>
    void Deliver(const GUID& iid, const std::function<void(Sink*)>& call) {
        std::vector<IUnknown*> sinks;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            for (const auto& entry : m_Sinks) {
                if (entry.second.first == iid) {
                    entry.second.second->AddRef();
                    sinks.push_back(entry.second.second);
                }
            }
        }
        const DWORD self = GetCurrentThreadId();
        for (IUnknown* sink : sinks) {
            {
                std::lock_guard<std::mutex> lock(m_Mutex);
                ++m_InProgress[self];
            }
            call(static_cast<Sink*>(sink));
            {
                std::lock_guard<std::mutex> lock(m_Mutex);
                if (--m_InProgress[self] == 0) {
                    m_InProgress.erase(self);
                }
            }
            m_Returned.notify_all();
            sink->Release();
        }
    }

    // Waits until no delivery is in progress on another thread than the caller's, as an
    // Unadvise may; false when `timeoutMs` ran out first (a client that blocks its sinks
    // while it unadvises would wait for ever).
    bool WaitForDeliveriesElsewhere(DWORD timeoutMs) {
        const DWORD self = GetCurrentThreadId();
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Returned.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return m_InProgress.empty() || (m_InProgress.size() == 1 && m_InProgress.count(self) == 1);
        });
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Returned;
    DWORD m_LastCookie = 0;
    std::map<DWORD, std::pair<GUID, IUnknown*>> m_Sinks;
    std::map<DWORD, int> m_InProgress;  // deliveries running, by thread
};

// How long the facade waits for a client's sink before it gives up and says so in the
// journal: far longer than any sink needs, so a note means the client was stuck.
constexpr DWORD kStuckMs = 10000;

void DeliverNested();

void StartFollowingModel();

class ConnectionPoint final : public ComObject<ConnectionPoint, IConnectionPoint> {
public:
    ConnectionPoint(IConnectionPointContainer* container, const EventInterface& events)
        : m_Container(container), m_Events(events) {
        m_Container->AddRef();
    }

    void* Find(REFIID iid) { return iid == IID_IConnectionPoint ? static_cast<IConnectionPoint*>(this) : nullptr; }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        if (iid == nullptr) {
            return E_POINTER;
        }
        *iid = *m_Events.Iid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override {
        if (container == nullptr) {
            return E_POINTER;
        }
        m_Container->AddRef();
        *container = m_Container;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
        if (sink == nullptr || cookie == nullptr) {
            return E_POINTER;
        }
        *cookie = 0;
        void* typed = nullptr;
        if (FAILED(sink->QueryInterface(*m_Events.Iid, &typed)) || typed == nullptr) {
            return CONNECT_E_CANNOTCONNECT;
        }
        HRESULT scripted = S_OK;
        if (Scripted(Words(EmuRequest(std::string("mbn rt advise ") + m_Events.Name)), &scripted)) {
            static_cast<IUnknown*>(typed)->Release();
            return scripted;
        }
        *cookie = SinkRegistry::Instance().Add(*m_Events.Iid, static_cast<IUnknown*>(typed));
        StartFollowingModel();
        DeliverNested();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        IUnknown* sink = SinkRegistry::Instance().Remove(*m_Events.Iid, cookie);
        if (sink == nullptr) {
            return CONNECT_E_NOCONNECTION;
        }
        const std::vector<std::string> reply = Words(EmuRequest(std::string("mbn rt unadvise ") + m_Events.Name));
        if (reply.size() == 2 && reply[1] == "wait" && !SinkRegistry::Instance().WaitForDeliveriesElsewhere(kStuckMs)) {
            EmuRequest(std::string("note mbn unadvise ") + m_Events.Name + " stuck");
        }
        sink->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

private:
    ~ConnectionPoint() override { m_Container->Release(); }
    friend class ComObject<ConnectionPoint, IConnectionPoint>;

    IConnectionPointContainer* const m_Container;
    const EventInterface m_Events;
};

// FindConnectionPoint of a container that offers `offered`.
HRESULT FindPoint(IConnectionPointContainer* container, std::initializer_list<const EventInterface*> offered,
                  REFIID iid, IConnectionPoint** point) {
    if (point == nullptr) {
        return E_POINTER;
    }
    *point = nullptr;
    for (const EventInterface* events : offered) {
        if (*events->Iid != iid) {
            continue;
        }
        const std::vector<std::string> reply = Words(EmuRequest(std::string("mbn rt find ") + events->Name));
        if (reply.size() == 2 && reply[0] == "ok" && reply[1] == "null") {
            return S_OK;
        }
        HRESULT scripted = S_OK;
        if (Scripted(reply, &scripted)) {
            return scripted;
        }
        *point = new ConnectionPoint(container, *events);
        return S_OK;
    }
    return CONNECT_E_NOCONNECTION;
}

// ---------------------------------------------------------------------------------------
// Interfaces and connections.

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

class Interface final : public ComObject<Interface, IMbnInterface, IMbnRadio, IMbnRegistration, IMbnSignal> {
public:
    explicit Interface(std::string id) : m_Id(std::move(id)) {}

    void* Find(REFIID iid) {
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
            return static_cast<IMbnSignal*>(this);
        }
        return nullptr;
    }

    // IMbnInterface
    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* value) override { return MakeBstr(m_Id, value); }
    HRESULT STDMETHODCALLTYPE GetInterfaceCapability(MBN_INTERFACE_CAPS*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubscriberInformation(IMbnSubscriberInformation**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReadyState(MBN_READY_STATE* value) override { return ReadValue(m_Id, 0, value); }
    HRESULT STDMETHODCALLTYPE InEmergencyMode(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetHomeProvider(MBN_PROVIDER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPreferredProviders(SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPreferredProviders(SAFEARRAY*, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetVisibleProviders(ULONG*, SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ScanNetwork(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnection(IMbnConnection** value) override {
        if (value == nullptr) {
            return E_POINTER;
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
    HRESULT STDMETHODCALLTYPE get_SoftwareRadioState(MBN_RADIO* value) override { return ReadValue(m_Id, 1, value); }
    HRESULT STDMETHODCALLTYPE get_HardwareRadioState(MBN_RADIO* value) override { return ReadValue(m_Id, 2, value); }
    HRESULT STDMETHODCALLTYPE SetSoftwareRadioState(MBN_RADIO, ULONG*) override { return E_NOTIMPL; }

    // IMbnRegistration
    HRESULT STDMETHODCALLTYPE GetRegisterState(MBN_REGISTER_STATE* value) override { return ReadValue(m_Id, 3, value); }
    HRESULT STDMETHODCALLTYPE GetRegisterMode(MBN_REGISTER_MODE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetProviderID(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetProviderName(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRoamingText(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAvailableDataClasses(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentDataClass(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRegistrationNetworkError(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPacketAttachNetworkError(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetRegisterMode(MBN_REGISTER_MODE, LPCWSTR, ULONG, ULONG*) override { return E_NOTIMPL; }

    // IMbnSignal
    HRESULT STDMETHODCALLTYPE GetSignalStrength(ULONG* value) override { return ReadValue(m_Id, 4, value); }
    HRESULT STDMETHODCALLTYPE GetSignalError(ULONG*) override { return E_NOTIMPL; }

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
        return FindPoint(this, {}, iid, point);
    }
};

// ---------------------------------------------------------------------------------------
// Device services and their completions.

class DeviceService;

// One completion to deliver to the IMbnDeviceServicesEvents sinks.
struct Completion {
    std::string Kind;  // open, close, set, query
    DeviceService* Service = nullptr;  // a reference held until delivered
    ULONG CommandId = 0;
    HRESULT Status = S_OK;
    ULONG RequestId = 0;
    std::string Data;
    DWORD DelayMs = 0;
    std::shared_ptr<void> Delivered;  // an event handle set once delivered, when someone waits
};

void Deliver(const Completion& completion);

// Delivers immediate completions one after another, in the order of their requests.
class CompletionWorker {
public:
    static CompletionWorker& Instance() {
        static CompletionWorker* worker = new CompletionWorker();  // lives as long as the process
        return *worker;
    }
    void Post(Completion completion) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Queue.push_back(std::move(completion));
        if (!m_Started) {
            m_Started = true;
            StartDetachedThread(L"emu-mbn-done", [this] { Run(); });
        }
        m_Posted.notify_one();
    }

private:
    void Run() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (;;) {
            Completion next;
            {
                std::unique_lock<std::mutex> lock(m_Mutex);
                m_Posted.wait(lock, [this] { return !m_Queue.empty(); });
                next = std::move(m_Queue.front());
                m_Queue.pop_front();
            }
            Deliver(next);
        }
    }

    std::mutex m_Mutex;
    std::condition_variable m_Posted;
    std::deque<Completion> m_Queue;
    bool m_Started = false;
};

std::atomic<ULONG> g_NextRequestId{1};

class DeviceService final : public ComObject<DeviceService, IMbnDeviceService> {
public:
    DeviceService(std::string interfaceId, std::string serviceId)
        : m_InterfaceId(std::move(interfaceId)), m_ServiceId(std::move(serviceId)) {}

    void* Find(REFIID iid) { return iid == IID_IMbnDeviceService ? static_cast<IMbnDeviceService*>(this) : nullptr; }

    const std::string& InterfaceId() const { return m_InterfaceId; }
    const std::string& ServiceId() const { return m_ServiceId; }

    HRESULT STDMETHODCALLTYPE QuerySupportedCommands(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OpenCommandSession(ULONG* requestId) override { return Request("open", 0, nullptr, requestId); }
    HRESULT STDMETHODCALLTYPE CloseCommandSession(ULONG* requestId) override {
        return Request("close", 0, nullptr, requestId);
    }
    HRESULT STDMETHODCALLTYPE SetCommand(ULONG commandId, SAFEARRAY* data, ULONG* requestId) override {
        return Request("set", commandId, data, requestId);
    }
    HRESULT STDMETHODCALLTYPE QueryCommand(ULONG commandId, SAFEARRAY* data, ULONG* requestId) override {
        return Request("query", commandId, data, requestId);
    }
    HRESULT STDMETHODCALLTYPE OpenDataSession(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CloseDataSession(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE WriteData(SAFEARRAY*, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* value) override { return MakeBstr(m_InterfaceId, value); }
    HRESULT STDMETHODCALLTYPE get_DeviceServiceID(BSTR* value) override { return MakeBstr(m_ServiceId, value); }
    HRESULT STDMETHODCALLTYPE get_IsCommandSessionOpen(BOOL* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        const std::vector<std::string> reply = Words(EmuRequest("mbn rt session " + m_InterfaceId + " " + m_ServiceId));
        HRESULT scripted = S_OK;
        if (Scripted(reply, &scripted)) {
            return scripted;  // the output stays as it was
        }
        if (!IsOk(reply) || reply.size() != 2) {
            return kGone;
        }
        *value = reply[1] == "1" ? TRUE : FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IsDataSessionOpen(BOOL* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = FALSE;
        return S_OK;
    }

private:
    HRESULT Request(const std::string& kind, ULONG commandId, SAFEARRAY* data, ULONG* requestId) {
        const HRESULT result = Issue(kind, commandId, data, requestId);
        DeliverNested();
        return result;
    }
    // Asks the model what to do with the request ("ok RESULT TIMING STATUS REQUEST_ID [DATA]")
    // and schedules its completion.
    HRESULT Issue(const std::string& kind, ULONG commandId, SAFEARRAY* data, ULONG* requestId) {
        if (requestId == nullptr) {
            return E_POINTER;
        }
        std::string payload;
        if (FAILED(ReadByteArray(data, &payload))) {
            return E_INVALIDARG;
        }
        const ULONG id = g_NextRequestId++;
        std::string request = "mbn rt " + kind + " " + m_InterfaceId + " " + m_ServiceId + " " + std::to_string(id);
        if (kind == "set" || kind == "query") {
            request += " " + std::to_string(commandId) + " " + emu::ToHex(payload);
        }
        const std::vector<std::string> plan = Words(EmuRequest(request));
        if (!IsOk(plan) || plan.size() < 5) {
            return kGone;
        }
        const HRESULT result = ParseHresult(plan[1]);
        if (FAILED(result) && result != E_PENDING) {
            return result;
        }
        *requestId = id;
        const std::string& timing = plan[2];
        if (timing == "never") {
            return result;
        }
        Completion completion;
        completion.Kind = kind;
        completion.Service = this;
        AddRef();
        completion.CommandId = commandId;
        completion.Status = ParseHresult(plan[3]);
        completion.RequestId = std::stoul(plan[4]);
        if (plan.size() > 5) {
            emu::FromHex(plan[5], &completion.Data);
        }
        if (timing == "early") {
            // Delivered before this call returns, as far as a client lets it: the wait ends
            // after a while if the client's sink waits for this call (for its own lock).
            const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            completion.Delivered = std::shared_ptr<void>(done, CloseHandle);
            StartDetachedThread(L"emu-mbn-early", [completion] { Deliver(completion); });
            WaitForSingleObject(done, kEarlyWaitMs);
        } else if (timing == "0") {
            CompletionWorker::Instance().Post(std::move(completion));
        } else {
            completion.DelayMs = static_cast<DWORD>(std::stoul(timing));
            StartDetachedThread(L"emu-mbn-late", [completion] {
                Sleep(completion.DelayMs);
                Deliver(completion);
            });
        }
        return result;
    }

    const std::string m_InterfaceId;
    const std::string m_ServiceId;
};

// Runs on a facade thread; joins the multithreaded apartment for the delivery.
void Deliver(const Completion& completion) {
    const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DeviceService* service = completion.Service;
    EmuRequest("mbn rt complete " + completion.Kind + " " + service->InterfaceId() + " " + service->ServiceId() + " " +
               std::to_string(completion.RequestId) + " " + HexResult(completion.Status));
    SAFEARRAY* data = ByteArray(completion.Data);
    SinkRegistry::Instance().Deliver<IMbnDeviceServicesEvents>(
        IID_IMbnDeviceServicesEvents, [&](IMbnDeviceServicesEvents* sink) {
            const std::string& kind = completion.Kind;
            if (kind == "open") {
                sink->OnOpenCommandSessionComplete(service, completion.Status, completion.RequestId);
            } else if (kind == "close") {
                sink->OnCloseCommandSessionComplete(service, completion.Status, completion.RequestId);
            } else if (kind == "set") {
                sink->OnSetCommandComplete(service, completion.CommandId, data, completion.Status, completion.RequestId);
            } else {
                sink->OnQueryCommandComplete(service, completion.CommandId, data, completion.Status,
                                             completion.RequestId);
            }
        });
    if (data != nullptr) {
        SafeArrayDestroy(data);
    }
    service->Release();
    if (completion.Delivered != nullptr) {
        SetEvent(completion.Delivered.get());
    }
    if (SUCCEEDED(joined)) {
        CoUninitialize();
    }
}

class DeviceServicesContext final : public ComObject<DeviceServicesContext, IMbnDeviceServicesContext> {
public:
    explicit DeviceServicesContext(std::string id) : m_Id(std::move(id)) {}
    void* Find(REFIID iid) {
        return iid == IID_IMbnDeviceServicesContext ? static_cast<IMbnDeviceServicesContext*>(this) : nullptr;
    }

    HRESULT STDMETHODCALLTYPE EnumerateDeviceServices(SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDeviceService(BSTR serviceId, IMbnDeviceService** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = nullptr;
        const std::string service = NarrowUpper(serviceId);
        if (!IsOk(Words(EmuRequest("mbn rt service " + m_Id + " " + service)))) {
            return kNotFound;
        }
        *value = new DeviceService(m_Id, service);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_MaxCommandSize(ULONG* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = kMaxCommandSize;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_MaxDataSize(ULONG* value) override { return get_MaxCommandSize(value); }

private:
    const std::string m_Id;
};

class DeviceServicesManager final
    : public ComObject<DeviceServicesManager, IMbnDeviceServicesManager, IConnectionPointContainer> {
public:
    void* Find(REFIID iid) {
        if (iid == IID_IMbnDeviceServicesManager) {
            return static_cast<IMbnDeviceServicesManager*>(this);
        }
        return iid == IID_IConnectionPointContainer ? static_cast<IConnectionPointContainer*>(this) : nullptr;
    }

    HRESULT STDMETHODCALLTYPE GetDeviceServicesContext(BSTR interfaceId, IMbnDeviceServicesContext** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = nullptr;
        const std::string id = NarrowUpper(interfaceId);
        const std::vector<std::string> reply = Words(EmuRequest("mbn rt context " + id));
        if (!IsOk(reply)) {
            return kNotFound;
        }
        HRESULT scripted = S_OK;
        if (Scripted(reply, &scripted)) {
            return scripted;
        }
        *value = new DeviceServicesContext(id);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        return FindPoint(this, {&kDeviceServicesEvents}, iid, point);
    }
};

// ---------------------------------------------------------------------------------------
// The model's events.

template <typename Sink>
void DeliverToInterfaceSinks(const EventInterface& events, const std::string& id,
                             const std::function<void(Sink*, Interface*)>& call) {
    ComPtr<Interface> item(new Interface(id));
    SinkRegistry::Instance().Deliver<Sink>(*events.Iid, [&](Sink* sink) { call(sink, item.Get()); });
}

// "ID;A;B" -> {ID, A, B}
std::vector<std::string> SplitSubject(const std::string& subject) {
    std::vector<std::string> parts;
    std::istringstream in(subject);
    for (std::string part; std::getline(in, part, ';');) {
        parts.push_back(part);
    }
    return parts;
}

constexpr char kAtService[] = "{DA138C64-6515-4893-92B2-A1E1CA7C81CA}";

// As scripted ("mbn fault nested on"): a ready-state notification of the first present
// interface, delivered on another thread while the caller's call is still running, and the
// call returns only after the delivery has: a client that holds its own lock across the
// call while its sink needs that lock would wait here for ever (given up after kStuckMs).
void DeliverNested() {
    const std::vector<std::string> reply = Words(EmuRequest("mbn rt nested"));
    if (reply.size() != 2) {
        return;
    }
    const std::shared_ptr<void> done(CreateEventW(nullptr, TRUE, FALSE, nullptr), CloseHandle);
    const std::string id = reply[1];
    StartDetachedThread(L"emu-mbn-nested", [done, id] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        DeliverToInterfaceSinks<IMbnInterfaceEvents>(
            kInterfaceEvents, id, [](IMbnInterfaceEvents* sink, Interface* item) { sink->OnReadyStateChange(item); });
        SetEvent(done.get());
    });
    if (WaitForSingleObject(done.get(), kStuckMs) != WAIT_OBJECT_0) {
        EmuRequest("note mbn nested delivery stuck");
    }
}

void DeliverModelEvent(const EmuEvent& event) {
    const std::string& kind = event.Kind;
    if (kind == "mbn-arrival" || kind == "mbn-removal") {
        DeliverToInterfaceSinks<IMbnInterfaceManagerEvents>(
            kInterfaceManagerEvents, event.Subject, [&](IMbnInterfaceManagerEvents* sink, Interface* item) {
                if (kind == "mbn-arrival") {
                    sink->OnInterfaceArrival(item);
                } else {
                    sink->OnInterfaceRemoval(item);
                }
            });
    } else if (kind == "mbn-ready") {
        DeliverToInterfaceSinks<IMbnInterfaceEvents>(kInterfaceEvents, event.Subject,
                                                     [](IMbnInterfaceEvents* sink, Interface* item) {
                                                         sink->OnReadyStateChange(item);
                                                     });
    } else if (kind == "mbn-register") {
        DeliverToInterfaceSinks<IMbnRegistrationEvents>(kRegistrationEvents, event.Subject,
                                                        [](IMbnRegistrationEvents* sink, Interface* item) {
                                                            sink->OnRegisterStateChange(item);
                                                        });
    } else if (kind == "mbn-signal") {
        DeliverToInterfaceSinks<IMbnSignalEvents>(kSignalEvents, event.Subject,
                                                  [](IMbnSignalEvents* sink, Interface* item) {
                                                      sink->OnSignalStateChange(item);
                                                  });
    } else if (kind == "mbn-radio") {
        DeliverToInterfaceSinks<IMbnRadioEvents>(kRadioEvents, event.Subject,
                                                 [](IMbnRadioEvents* sink, Interface* item) {
                                                     sink->OnRadioStateChange(item);
                                                 });
    } else if (kind == "mbn-set-complete" || kind == "mbn-query-complete") {
        const std::vector<std::string> parts = SplitSubject(event.Subject);  // ID;REQUEST_ID;STATUS
        if (parts.size() != 3) {
            return;
        }
        ComPtr<DeviceService> service(new DeviceService(parts[0], kAtService));
        const ULONG requestId = std::stoul(parts[1]);
        const HRESULT status = ParseHresult(parts[2]);
        SinkRegistry::Instance().Deliver<IMbnDeviceServicesEvents>(
            IID_IMbnDeviceServicesEvents, [&](IMbnDeviceServicesEvents* sink) {
                if (kind == "mbn-set-complete") {
                    sink->OnSetCommandComplete(service.Get(), 1, nullptr, status, requestId);
                } else {
                    sink->OnQueryCommandComplete(service.Get(), 1, nullptr, status, requestId);
                }
            });
    } else if (kind == "mbn-supported") {
        const std::vector<std::string> parts = SplitSubject(event.Subject);  // ID;COUNT
        if (parts.size() != 2) {
            return;
        }
        ComPtr<DeviceService> service(new DeviceService(parts[0], kAtService));
        const ULONG count = std::stoul(parts[1]);
        SAFEARRAY* ids = SafeArrayCreateVector(VT_UI4, 0, count);
        for (LONG i = 0; ids != nullptr && i < static_cast<LONG>(count); ++i) {
            ULONG value = static_cast<ULONG>(i) + 1;
            SafeArrayPutElement(ids, &i, &value);
        }
        SinkRegistry::Instance().Deliver<IMbnDeviceServicesEvents>(
            IID_IMbnDeviceServicesEvents, [&](IMbnDeviceServicesEvents* sink) {
                sink->OnQuerySupportedCommandsComplete(service.Get(), ids, S_OK, 0);
            });
        if (ids != nullptr) {
            SafeArrayDestroy(ids);
        }
    }
}

// Starts the thread that follows the model's events, once; events raised after the first
// Advise returns reach the sinks.
void StartFollowingModel() {
    static std::once_flag started;
    std::call_once(started, [] {
        const uint64_t after = LatestEmuEvent();
        StartDetachedThread(L"emu-mbn-events", [after] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            FollowEmuEvents(after, [] { return true; }, DeliverModelEvent);
        });
    });
}

// ---------------------------------------------------------------------------------------
// The class objects.

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
        IUnknown* object = nullptr;
        if (m_Clsid == CLSID_MbnInterfaceManager) {
            object = static_cast<IMbnInterfaceManager*>(new InterfaceManager());
        } else if (m_Clsid == CLSID_MbnConnectionManager) {
            object = static_cast<IMbnConnectionManager*>(new ConnectionManager());
        } else if (m_Clsid == CLSID_MbnConnectionProfileManager) {
            object = static_cast<IMbnConnectionProfileManager*>(new ConnectionProfileManager());
        } else {
            object = static_cast<IMbnDeviceServicesManager*>(new DeviceServicesManager());
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

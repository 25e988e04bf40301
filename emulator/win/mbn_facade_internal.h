// What the mbn_facade*.cpp files share: helpers, the COM object base, event interfaces, sinks, factories.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <oleauto.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "compat/mbn_api.h"

namespace MbnFacade {

using namespace QuarnMbn;

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);      // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
constexpr HRESULT kGone = static_cast<HRESULT>(0x8007048F);          // HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED)

// Text and model helpers (mbn_facade_plumbing.cpp).

// Interface and service IDs are GUID strings: ASCII, compared without case.
std::string NarrowUpper(const wchar_t* text);
std::vector<std::string> Words(const std::string& text);
bool IsOk(const std::vector<std::string>& words);
HRESULT ParseHresult(const std::string& text);
std::string HexResult(HRESULT value);
// A model reply "ok fail HEX" scripts what the call returns (even S_OK), with no output.
bool Scripted(const std::vector<std::string>& reply, HRESULT* result);
std::vector<std::string> PresentInterfaces();
HRESULT MakeBstr(const std::string& text, BSTR* out);
SAFEARRAY* ByteArray(const std::string& bytes);
// The bytes of an [in] VT_UI1 array; NULL is no bytes.
HRESULT ReadByteArray(SAFEARRAY* array, std::string* bytes);

// COM plumbing (mbn_facade_plumbing.cpp).

// Objects of this facade alive now, for tests that a client releases what it took.
extern std::atomic<long> g_LiveObjects;

// The mobile broadband service's life, as the model counts its restarts (0 without a model).
uint64_t ServiceLife();
// What the service answers an object made in `life`: S_OK; RPC_S_SERVER_UNAVAILABLE while it
// is down; RPC_E_DISCONNECTED once it restarted after the object was made.
HRESULT ServiceAnswer(uint64_t life);

// Reference counting and QueryInterface; `Find` in Derived names the interfaces an object
// answers besides IUnknown. Declared here once, the three IUnknown methods override those of
// every interface base.
template <typename Derived, typename... Interfaces>
class ComObject : public Interfaces... {
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;

public:
    ComObject() : m_Life(ServiceLife()) { ++g_LiveObjects; }
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
    // The service's answer to a call on this object: S_OK, or the RPC error it gives.
    HRESULT ServiceGone() const { return ServiceAnswer(m_Life); }

private:
    const uint64_t m_Life;  // of the service that made the object
    std::atomic<ULONG> m_References{1};
};

// The event interfaces, by the name the model's requests use.
struct EventInterface {
    const GUID* Iid;
    const char* Name;
};
inline const EventInterface kInterfaceManagerEvents{&IID_IMbnInterfaceManagerEvents, "InterfaceManagerEvents"};
inline const EventInterface kInterfaceEvents{&IID_IMbnInterfaceEvents, "InterfaceEvents"};
inline const EventInterface kRegistrationEvents{&IID_IMbnRegistrationEvents, "RegistrationEvents"};
inline const EventInterface kSignalEvents{&IID_IMbnSignalEvents, "SignalEvents"};
inline const EventInterface kRadioEvents{&IID_IMbnRadioEvents, "RadioEvents"};
inline const EventInterface kConnectionManagerEvents{&IID_IMbnConnectionManagerEvents, "ConnectionManagerEvents"};
inline const EventInterface kConnectionEvents{&IID_IMbnConnectionEvents, "ConnectionEvents"};
inline const EventInterface kDeviceServicesEvents{&IID_IMbnDeviceServicesEvents, "DeviceServicesEvents"};

// Every advised sink of the process, by cookie: all containers share one registry, as the
// system's objects share one service.
class SinkRegistry {
public:
    static SinkRegistry& Instance();

    // Takes over `sink`, a reference to the event interface `iid`, advised in the service's
    // `life`: a sink of an earlier life, or any while the service is down, gets nothing.
    DWORD Add(const GUID& iid, IUnknown* sink, uint64_t life);

    // The sink's reference for the caller to release, or null for an unknown cookie.
    IUnknown* Remove(const GUID& iid, DWORD cookie);

    // Calls `call` for each sink of `iid` advised now, holding no lock while it runs.
    template <typename Sink>
    void Deliver(const GUID& iid, const std::function<void(Sink*)>& call) {
        DeliverTo(Snapshot(iid), [&](IUnknown* sink) { call(static_cast<Sink*>(sink)); });
    }

    // The sinks of `iid` advised now, a reference each: a delivery under way has them.
    std::vector<IUnknown*> Snapshot(const GUID& iid);
    // Calls `call` for each of them, as a delivery in progress, and releases them.
    void DeliverTo(const std::vector<IUnknown*>& sinks, const std::function<void(IUnknown*)>& call);

    // Waits until no delivery is in progress on another thread than the caller's, as an
    // Unadvise may; false when `timeoutMs` ran out first (a client that blocks its sinks
    // while it unadvises would wait for ever).
    bool WaitForDeliveriesElsewhere(DWORD timeoutMs);

private:
    std::mutex m_Mutex;
    std::condition_variable m_Returned;
    DWORD m_LastCookie = 0;
    struct Advised {
        GUID Iid;
        IUnknown* Sink;
        uint64_t Life;
    };
    std::map<DWORD, Advised> m_Sinks;
    std::map<DWORD, int> m_InProgress;  // deliveries running, by thread
};

// How long the facade waits for a client's sink before it gives up and says so in the
// journal: far longer than any sink needs, so a note means the client was stuck.
constexpr DWORD kStuckMs = 10000;

// FindConnectionPoint of a container that offers `offered`.
HRESULT FindPoint(IConnectionPointContainer* container, std::initializer_list<const EventInterface*> offered,
                  REFIID iid, IConnectionPoint** point);

// Interfaces and connections (mbn_facade_interfaces.cpp). Interface is declared here because
// the model's events hand one to the sinks of each of its event interfaces.

class Interface final : public ComObject<Interface, IMbnInterface, IMbnRadio, IMbnRegistration, IMbnSignal> {
public:
    explicit Interface(std::string id);
    // The last interface object going lets a held notification through (DeliverHeld).
    ~Interface() override;

    void* Find(REFIID iid);

    // IMbnInterface
    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE GetInterfaceCapability(MBN_INTERFACE_CAPS*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubscriberInformation(IMbnSubscriberInformation**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReadyState(MBN_READY_STATE* value) override;
    HRESULT STDMETHODCALLTYPE InEmergencyMode(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetHomeProvider(MBN_PROVIDER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPreferredProviders(SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPreferredProviders(SAFEARRAY*, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetVisibleProviders(ULONG*, SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ScanNetwork(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnection(IMbnConnection** value) override;

    // IMbnRadio
    HRESULT STDMETHODCALLTYPE get_SoftwareRadioState(MBN_RADIO* value) override;
    HRESULT STDMETHODCALLTYPE get_HardwareRadioState(MBN_RADIO* value) override;
    HRESULT STDMETHODCALLTYPE SetSoftwareRadioState(MBN_RADIO, ULONG*) override { return E_NOTIMPL; }

    // IMbnRegistration
    HRESULT STDMETHODCALLTYPE GetRegisterState(MBN_REGISTER_STATE* value) override;
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
    HRESULT STDMETHODCALLTYPE GetSignalStrength(ULONG* value) override;
    HRESULT STDMETHODCALLTYPE GetSignalError(ULONG*) override { return E_NOTIMPL; }

private:
    // One of the model's values of the interface, unless the service is gone.
    template <typename T>
    HRESULT ReadLive(const std::string& id, std::size_t index, T* out);

    const std::string m_Id;
};

IMbnInterfaceManager* NewInterfaceManager();
IMbnConnectionManager* NewConnectionManager();
IMbnConnectionProfileManager* NewConnectionProfileManager();

// Device services and their completions (mbn_facade_device_services.cpp).

IMbnDeviceService* NewDeviceService(std::string interfaceId, std::string serviceId);
IMbnDeviceServicesManager* NewDeviceServicesManager();

// The model's events (mbn_facade_events.cpp).

// Delivers a ready-state notification on another thread and returns once it has, when scripted.
void DeliverNested();

// Interface objects alive now.
extern std::atomic<long> g_InterfaceObjects;

// Delivers the notification that "mbn notify signal held" holds, if any, on another thread,
// and returns once it has (at most kStuckMs).
void DeliverHeld();

// Starts the thread that follows the model's events, once; events raised after the first
// Advise returns reach the sinks.
void StartFollowingModel();

}  // namespace MbnFacade

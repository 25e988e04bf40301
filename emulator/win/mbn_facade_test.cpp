// The Mobile Broadband COM server as a client reaches it: CoCreateInstance of the classes
// registered in the test prefix, connection points and an event sink, with the model
// scripted and its journal read over the control channel.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/win/com_ptr.h"
#include "compat/mbn_api.h"
#include "emulator/win/emu_channel.h"
#include "tests/support/win/emulator_process.h"
#include "tests/support/win/eventually.h"

using namespace QuarnMbn;

namespace {

const std::wstring k4G = L"{5A3E0AC9-0000-4000-8000-00000000004A}";
const std::wstring k5G = L"{14C34D75-0000-4000-8000-00000000005A}";
const std::wstring kAt = L"{DA138C64-6515-4893-92B2-A1E1CA7C81CA}";
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);
constexpr HRESULT kInvalidState = static_cast<HRESULT>(0x8007139F);

bool JournalHas(const std::string& text) { return EmuRequest("journal").find(text) != std::string::npos; }

template <typename T>
HRESULT Create(const CLSID& clsid, ComPtr<T>* out) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(T), reinterpret_cast<void**>(out->Put()));
}

std::wstring Take(BSTR text) {
    std::wstring value = text != nullptr ? text : L"";
    SysFreeString(text);
    return value;
}

std::wstring IdOf(IMbnInterface* item) {
    BSTR id = nullptr;
    item->get_InterfaceID(&id);
    return Take(id);
}

struct Record {
    std::wstring What;
    ULONG RequestId = 0;
    HRESULT Status = S_OK;
    std::string Data;
    DWORD Thread = 0;
    bool Multithreaded = false;
};

// An event sink as a client writes one: records what arrives, and on which thread.
class Sink final : public IMbnInterfaceManagerEvents, public IMbnInterfaceEvents, public IMbnDeviceServicesEvents {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IMbnInterfaceManagerEvents) {
            *out = static_cast<IMbnInterfaceManagerEvents*>(this);
        } else if (iid == IID_IMbnInterfaceEvents) {
            *out = static_cast<IMbnInterfaceEvents*>(this);
        } else if (iid == IID_IMbnDeviceServicesEvents) {
            *out = static_cast<IMbnDeviceServicesEvents*>(this);
        }
        if (*out == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    // Sinks live as long as the test program, so a late delivery never meets a freed one.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++References; }
    ULONG STDMETHODCALLTYPE Release() override { return --References; }

    HRESULT STDMETHODCALLTYPE OnInterfaceArrival(IMbnInterface* item) override { return Add(L"arrival " + IdOf(item)); }
    HRESULT STDMETHODCALLTYPE OnInterfaceRemoval(IMbnInterface* item) override { return Add(L"removal " + IdOf(item)); }

    HRESULT STDMETHODCALLTYPE OnInterfaceCapabilityAvailable(IMbnInterface*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSubscriberInformationChange(IMbnInterface*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnReadyStateChange(IMbnInterface* item) override {
        MBN_READY_STATE state = MBN_READY_STATE_OFF;
        item->GetReadyState(&state);
        return Add(L"ready " + IdOf(item) + L" " + std::to_wstring(state));
    }
    HRESULT STDMETHODCALLTYPE OnEmergencyModeChange(IMbnInterface*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnHomeProviderAvailable(IMbnInterface*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPreferredProvidersChange(IMbnInterface*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSetPreferredProvidersComplete(IMbnInterface*, ULONG, HRESULT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnScanNetworkComplete(IMbnInterface*, ULONG, HRESULT) override { return S_OK; }

    HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService*, SAFEARRAY*, HRESULT, ULONG) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService*, HRESULT status, ULONG id) override {
        return Add(L"open", id, status);
    }
    HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService*, HRESULT status, ULONG id) override {
        return Add(L"close", id, status);
    }
    HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService*, ULONG, SAFEARRAY* data, HRESULT status,
                                                   ULONG id) override {
        std::string bytes;
        void* raw = nullptr;
        if (data != nullptr && SUCCEEDED(SafeArrayAccessData(data, &raw))) {
            bytes.assign(static_cast<const char*>(raw), data->rgsabound[0].cElements);
            SafeArrayUnaccessData(data);
        }
        return Add(L"set", id, status, bytes);
    }
    HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService*, ULONG, SAFEARRAY*, HRESULT, ULONG) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService*, ULONG, SAFEARRAY*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService*, SAFEARRAY*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR, MBN_DEVICE_SERVICES_INTERFACE_STATE) override { return S_OK; }

    // The first record `what` (with `requestId` when nonzero) within `timeoutMs`.
    bool Find(const std::wstring& what, ULONG requestId, Record* found, DWORD timeoutMs = 5000) {
        return Eventually([&] {
            std::lock_guard<std::mutex> lock(m_Mutex);
            for (const Record& record : m_Records) {
                if (record.What == what && (requestId == 0 || record.RequestId == requestId)) {
                    *found = record;
                    return true;
                }
            }
            return false;
        }, timeoutMs);
    }

    std::atomic<ULONG> References{0};

private:
    HRESULT Add(const std::wstring& what, ULONG id = 0, HRESULT status = S_OK, const std::string& data = "") {
        APTTYPE type = APTTYPE_STA;
        APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
        const bool mta = SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA;
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Records.push_back({what, id, status, data, GetCurrentThreadId(), mta});
        return S_OK;
    }

    std::mutex m_Mutex;
    std::vector<Record> m_Records;
};

// The events' connection point of `container`; null (and a failure noted) when there is none.
ComPtr<IConnectionPoint> PointOf(IUnknown* container, const GUID& events) {
    ComPtr<IConnectionPointContainer> points;
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(points.Put())), S_OK);
    if (points.Get() != nullptr) {
        EXPECT_EQ(points->FindConnectionPoint(events, point.Put()), S_OK);
    }
    return point;
}

DWORD Advise(IUnknown* container, const GUID& events, IUnknown* sink) {
    DWORD cookie = 0;
    ComPtr<IConnectionPoint> point = PointOf(container, events);
    if (point.Get() != nullptr) {
        EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
    }
    EXPECT_NE(cookie, 0u);
    return cookie;
}

HRESULT Unadvise(IUnknown* container, const GUID& events, DWORD cookie) {
    ComPtr<IConnectionPoint> point = PointOf(container, events);
    return point.Get() != nullptr ? point->Unadvise(cookie) : E_POINTER;
}

SAFEARRAY* Bytes(const std::string& text) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(text.size()));
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    std::memcpy(data, text.data(), text.size());
    SafeArrayUnaccessData(array);
    return array;
}

HRESULT SendAt(IMbnDeviceService* service, const std::string& command, ULONG* requestId) {
    SAFEARRAY* data = Bytes(command);
    const HRESULT hr = service->SetCommand(1, data, requestId);
    SafeArrayDestroy(data);
    return hr;
}

class MbnFacade : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_TRUE(s_Emulator.Start());
    }
    static void TearDownTestSuite() { s_Emulator.Stop(); }
    void SetUp() override {
        ASSERT_EQ(EmuRequest("reset"), "ok");
        ASSERT_EQ(EmuRequest("modem 4g"), "ok");
    }

    // The 4G modem's AT service with its command session open and `sink` advised.
    void OpenAtSession(Sink* sink, ComPtr<IMbnDeviceServicesManager>* manager, ComPtr<IMbnDeviceService>* service,
                       DWORD* cookie) {
        ASSERT_EQ(Create(CLSID_MbnDeviceServicesManager, manager), S_OK);
        *cookie = Advise(manager->Get(), IID_IMbnDeviceServicesEvents, static_cast<IMbnDeviceServicesEvents*>(sink));
        ComPtr<IMbnDeviceServicesContext> context;
        BSTR id = SysAllocString(k4G.c_str());
        BSTR at = SysAllocString(kAt.c_str());
        ASSERT_EQ((*manager)->GetDeviceServicesContext(id, context.Put()), S_OK);
        ASSERT_EQ(context->GetDeviceService(at, service->Put()), S_OK);
        SysFreeString(id);
        SysFreeString(at);
        ULONG requestId = 0;
        ASSERT_EQ((*service)->OpenCommandSession(&requestId), S_OK);
        Record opened;
        ASSERT_TRUE(sink->Find(L"open", requestId, &opened));
        EXPECT_EQ(opened.Status, S_OK);
    }

    static EmulatorProcess s_Emulator;
};
EmulatorProcess MbnFacade::s_Emulator;

TEST_F(MbnFacade, InterfacesAndConnectionsFollowTheModel) {
    ComPtr<IMbnInterfaceManager> manager;
    ASSERT_EQ(Create(CLSID_MbnInterfaceManager, &manager), S_OK);
    ASSERT_EQ(EmuRequest("modem both"), "ok");
    SAFEARRAY* items = nullptr;
    ASSERT_EQ(manager->GetInterfaces(&items), S_OK);
    ASSERT_EQ(items->rgsabound[0].cElements, 2u);
    std::vector<std::wstring> ids;
    for (LONG i = 0; i < 2; ++i) {
        IUnknown* item = nullptr;
        SafeArrayGetElement(items, &i, &item);
        ComPtr<IMbnInterface> mbn;
        ASSERT_EQ(item->QueryInterface(IID_IMbnInterface, reinterpret_cast<void**>(mbn.Put())), S_OK);
        ids.push_back(IdOf(mbn.Get()));
        item->Release();
    }
    SafeArrayDestroy(items);
    EXPECT_EQ(ids, (std::vector<std::wstring>{k4G, k5G}));

    ComPtr<IMbnInterface> unknown;
    EXPECT_EQ(manager->GetInterface(L"{00000000-0000-0000-0000-000000000000}", unknown.Put()), kNotFound);
    EXPECT_EQ(unknown.Get(), nullptr);
    ComPtr<IMbnInterface> item;
    ASSERT_EQ(manager->GetInterface(L"{14c34d75-0000-4000-8000-00000000005a}", item.Put()), S_OK);
    MBN_READY_STATE ready = MBN_READY_STATE_OFF;
    EXPECT_EQ(item->GetReadyState(&ready), S_OK);
    EXPECT_EQ(ready, MBN_READY_STATE_INITIALIZED);
    ASSERT_EQ(EmuRequest("sim off"), "ok");
    ASSERT_EQ(EmuRequest("mbn radio 0 1"), "ok");
    ASSERT_EQ(EmuRequest("mbn register 4"), "ok");
    EXPECT_EQ(item->GetReadyState(&ready), S_OK);
    EXPECT_EQ(ready, MBN_READY_STATE_SIM_NOT_INSERTED) << "read live from the model";
    ComPtr<IMbnRadio> radio;
    ComPtr<IMbnRegistration> registration;
    ASSERT_EQ(item->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(radio.Put())), S_OK);
    ASSERT_EQ(item->QueryInterface(IID_IMbnRegistration, reinterpret_cast<void**>(registration.Put())), S_OK);
    MBN_RADIO software = MBN_RADIO_ON;
    MBN_RADIO hardware = MBN_RADIO_OFF;
    MBN_REGISTER_STATE registered = MBN_REGISTER_STATE_NONE;
    EXPECT_EQ(radio->get_SoftwareRadioState(&software), S_OK);
    EXPECT_EQ(radio->get_HardwareRadioState(&hardware), S_OK);
    EXPECT_EQ(registration->GetRegisterState(&registered), S_OK);
    EXPECT_EQ(software, MBN_RADIO_OFF);
    EXPECT_EQ(hardware, MBN_RADIO_ON);
    EXPECT_EQ(registered, MBN_REGISTER_STATE_ROAMING);

    ComPtr<IMbnConnectionManager> connections;
    ASSERT_EQ(Create(CLSID_MbnConnectionManager, &connections), S_OK);
    ComPtr<IMbnConnection> connection;
    ASSERT_EQ(connections->GetConnection(k5G.c_str(), connection.Put()), S_OK);
    MBN_ACTIVATION_STATE state = MBN_ACTIVATION_STATE_NONE;
    BSTR profile = nullptr;
    EXPECT_EQ(connection->GetConnectionState(&state, &profile), S_OK);
    EXPECT_EQ(state, MBN_ACTIVATION_STATE_DEACTIVATED);
    EXPECT_FALSE(Take(profile).empty());
    ComPtr<IMbnConnection> none;
    EXPECT_EQ(connections->GetConnection(L"{00000000-0000-0000-0000-000000000000}", none.Put()), kNotFound);
    ASSERT_EQ(EmuRequest("mbn fault connection pending-null"), "ok");
    EXPECT_EQ(connections->GetConnection(k5G.c_str(), none.Put()), E_PENDING);
    EXPECT_EQ(none.Get(), nullptr);
    ComPtr<IMbnConnectionProfileManager> profiles;
    EXPECT_EQ(Create(CLSID_MbnConnectionProfileManager, &profiles), S_OK);
}

TEST_F(MbnFacade, AtCommandCompletesOnAnotherThreadWithItsRequestId) {
    static Sink sink;
    ComPtr<IMbnDeviceServicesManager> manager;
    ComPtr<IMbnDeviceService> service;
    DWORD cookie = 0;
    ASSERT_NO_FATAL_FAILURE(OpenAtSession(&sink, &manager, &service, &cookie));
    EXPECT_EQ(sink.References, 1u) << "Advise keeps one reference";
    BOOL open = FALSE;
    EXPECT_EQ(service->get_IsCommandSessionOpen(&open), S_OK);
    EXPECT_TRUE(open);

    ULONG requestId = 0;
    ASSERT_EQ(SendAt(service.Get(), "at+csus?\r\n", &requestId), S_OK);
    Record answer;
    ASSERT_TRUE(sink.Find(L"set", requestId, &answer));
    EXPECT_EQ(answer.Status, S_OK);
    EXPECT_EQ(answer.Data, "\r\n+CSUS: 0\r\n\r\nOK\r\n");
    EXPECT_NE(answer.Thread, GetCurrentThreadId());
    EXPECT_TRUE(answer.Multithreaded);
    EXPECT_TRUE(JournalHas("mbn set id=" + std::to_string(requestId) + " at cmd=1 len=10 \"at+csus?\\r\\n\""));

    ULONG closeId = 0;
    ASSERT_EQ(service->CloseCommandSession(&closeId), S_OK);
    ASSERT_TRUE(sink.Find(L"close", closeId, &answer));
    ULONG refused = 0;
    EXPECT_EQ(SendAt(service.Get(), "at+csus?\r\n", &refused), kInvalidState) << "the session is closed";
    EXPECT_EQ(Unadvise(manager.Get(), IID_IMbnDeviceServicesEvents, cookie), S_OK);
    EXPECT_EQ(sink.References, 0u) << "Unadvise releases the sink";
    EXPECT_EQ(Unadvise(manager.Get(), IID_IMbnDeviceServicesEvents, cookie), CONNECT_E_NOCONNECTION);
}

TEST_F(MbnFacade, ScriptedFaultsReachTheClient) {
    static Sink sink;
    ComPtr<IMbnDeviceServicesManager> manager;
    ComPtr<IMbnDeviceService> service;
    DWORD cookie = 0;
    ASSERT_NO_FATAL_FAILURE(OpenAtSession(&sink, &manager, &service, &cookie));
    Record record;

    ASSERT_EQ(EmuRequest("mbn fault set delay never"), "ok");
    ULONG silent = 0;
    EXPECT_EQ(SendAt(service.Get(), "AT\r\n", &silent), S_OK);
    EXPECT_FALSE(sink.Find(L"set", silent, &record, 500));

    ASSERT_EQ(EmuRequest("mbn fault none"), "ok");
    ASSERT_EQ(EmuRequest("mbn fault set requestid foreign"), "ok");
    ULONG foreign = 0;
    EXPECT_EQ(SendAt(service.Get(), "AT\r\n", &foreign), S_OK);
    EXPECT_TRUE(sink.Find(L"set", foreign + 1000, &record));
    EXPECT_FALSE(sink.Find(L"set", foreign, &record, 100)) << "only the foreign id arrives";

    ASSERT_EQ(EmuRequest("mbn fault none"), "ok");
    ASSERT_EQ(EmuRequest("mbn fault set early"), "ok");
    ULONG early = 0;
    EXPECT_EQ(SendAt(service.Get(), "AT\r\n", &early), S_OK);
    EXPECT_TRUE(sink.Find(L"set", early, &record, 0)) << "delivered before the call returned";

    ASSERT_EQ(EmuRequest("mbn fault sessionstate 0x80004005"), "ok");
    BOOL open = 7;
    EXPECT_EQ(service->get_IsCommandSessionOpen(&open), E_FAIL);
    EXPECT_EQ(open, 7) << "the output is left alone";

    ComPtr<IConnectionPointContainer> points;
    ASSERT_EQ(manager->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(points.Put())), S_OK);
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(points->FindConnectionPoint(IID_IMbnSignalEvents, point.Put()), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(EmuRequest("mbn fault cp DeviceServicesEvents find 0x80004005"), "ok");
    EXPECT_EQ(points->FindConnectionPoint(IID_IMbnDeviceServicesEvents, point.Put()), E_FAIL);
    EXPECT_EQ(point.Get(), nullptr);
    ASSERT_EQ(EmuRequest("mbn fault cp DeviceServicesEvents find null"), "ok");
    EXPECT_EQ(points->FindConnectionPoint(IID_IMbnDeviceServicesEvents, point.Put()), S_OK);
    EXPECT_EQ(point.Get(), nullptr);
    ASSERT_EQ(EmuRequest("mbn fault none"), "ok");
    EXPECT_EQ(Unadvise(manager.Get(), IID_IMbnDeviceServicesEvents, cookie), S_OK);
}

TEST_F(MbnFacade, ModemAndSimChangesAreNotified) {
    static Sink sink;
    ComPtr<IMbnInterfaceManager> manager;
    ASSERT_EQ(Create(CLSID_MbnInterfaceManager, &manager), S_OK);
    const DWORD arrivals = Advise(manager.Get(), IID_IMbnInterfaceManagerEvents, static_cast<IMbnInterfaceManagerEvents*>(&sink));
    const DWORD readiness = Advise(manager.Get(), IID_IMbnInterfaceEvents, static_cast<IMbnInterfaceEvents*>(&sink));
    EXPECT_NE(arrivals, readiness);
    Record record;
    ASSERT_EQ(EmuRequest("modem both"), "ok");
    ASSERT_TRUE(sink.Find(L"arrival " + k5G, 0, &record));
    EXPECT_NE(record.Thread, GetCurrentThreadId());
    EXPECT_TRUE(record.Multithreaded);
    ASSERT_EQ(EmuRequest("sim off"), "ok");
    EXPECT_TRUE(sink.Find(L"ready " + k4G + L" 2", 0, &record));
    EXPECT_TRUE(sink.Find(L"ready " + k5G + L" 2", 0, &record));
    ASSERT_EQ(EmuRequest("modem 5g"), "ok");
    EXPECT_TRUE(sink.Find(L"removal " + k4G, 0, &record));
    EXPECT_EQ(Unadvise(manager.Get(), IID_IMbnInterfaceManagerEvents, arrivals), S_OK);
    EXPECT_EQ(Unadvise(manager.Get(), IID_IMbnInterfaceEvents, readiness), S_OK);
    EXPECT_EQ(sink.References, 0u);
}

TEST_F(MbnFacade, WithoutTheServerThereIsNoModem) {
    s_Emulator.Stop();
    ComPtr<IMbnInterfaceManager> manager;
    ASSERT_EQ(Create(CLSID_MbnInterfaceManager, &manager), S_OK);
    SAFEARRAY* items = nullptr;
    EXPECT_EQ(manager->GetInterfaces(&items), S_OK);
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(items->rgsabound[0].cElements, 0u);
    SafeArrayDestroy(items);
    ASSERT_TRUE(s_Emulator.Start());
}

}  // namespace

#include "tests/bench/floor_client.h"

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <roapi.h>

#include <atomic>
#include <memory>

#include "common/win/agile_delegate.h"
#include "common/win/com_ptr.h"
#include "compat/mbn_api.h"
#include "compat/winrt_network_operators.h"

using namespace QuarnWinRT;

namespace {

constexpr GUID kAtDeviceService = {0xDA138C64, 0x6515, 0x4893, {0x92, 0xB2, 0xA1, 0xE1, 0xCA, 0x7C, 0x81, 0xCA}};
constexpr UINT32 kAtCommandId = 1;
constexpr DWORD kAnswerWaitMs = 3000;

// Looked up once and kept, as the program keeps its factories.
template <typename Statics>
Statics* Factory(const wchar_t* className, const IID& iid) {
    static Statics* factory = nullptr;
    if (factory == nullptr) {
        HStringRef name(className);
        RoGetActivationFactory(name.Get(), iid, reinterpret_cast<void**>(&factory));
    }
    return factory;
}

IMobileBroadbandModemStatics* ModemStatics() {
    return Factory<IMobileBroadbandModemStatics>(RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandModem,
                                                 IID_IMobileBroadbandModemStatics);
}

struct Completion {
    HANDLE Done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<AsyncStatus> Status{AsyncStatus::Started};
    ~Completion() { CloseHandle(Done); }
};

class CompletionHandler final
    : public AgileDelegate<IAsyncOperationCompletedHandler_CommandResult, IID_IAsyncOperationCompletedHandler_CommandResult> {
public:
    explicit CompletionHandler(std::shared_ptr<Completion> completion) : m_Completion(std::move(completion)) {}
    HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperation_CommandResult*, AsyncStatus status) override {
        m_Completion->Status = status;
        SetEvent(m_Completion->Done);
        return S_OK;
    }

private:
    std::shared_ptr<Completion> m_Completion;
};

}  // namespace

std::string SendAtCommandFloor(const std::string& payload) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IMobileBroadbandModemStatics* statics = ModemStatics();
    auto* crypto = Factory<ICryptographicBufferStatics>(RuntimeClass_Windows_Security_Cryptography_CryptographicBuffer,
                                                        IID_ICryptographicBufferStatics);
    if (statics == nullptr || crypto == nullptr) {
        return {};
    }
    ComPtr<IMobileBroadbandModem> modem;
    ComPtr<IMobileBroadbandDeviceService> service;
    ComPtr<IMobileBroadbandDeviceServiceCommandSession> session;
    ComPtr<IBuffer> buffer;
    ComPtr<IAsyncOperation_CommandResult> operation;
    if (FAILED(statics->GetDefault(modem.Put())) || !modem ||
        FAILED(modem->GetDeviceService(kAtDeviceService, service.Put())) || !service ||
        FAILED(service->OpenCommandSession(session.Put())) || !session ||
        FAILED(crypto->CreateFromByteArray(static_cast<UINT32>(payload.size()),
                                           reinterpret_cast<BYTE*>(const_cast<char*>(payload.data())), buffer.Put())) ||
        FAILED(session->SendSetCommandAsync(kAtCommandId, buffer.Get(), operation.Put())) || !operation) {
        return {};
    }
    auto completion = std::make_shared<Completion>();
    auto* handler = new CompletionHandler(completion);
    const HRESULT attached = operation->put_Completed(handler);
    handler->Release();
    if (FAILED(attached) || WaitForSingleObject(completion->Done, kAnswerWaitMs) != WAIT_OBJECT_0 ||
        completion->Status != AsyncStatus::Completed) {
        return {};
    }
    ComPtr<IMobileBroadbandDeviceServiceCommandResult> result;
    ComPtr<IBuffer> data;
    UINT32 status = 1;
    UINT32 length = 0;
    if (FAILED(operation->GetResults(result.Put())) || !result || FAILED(result->get_StatusCode(&status)) ||
        status != 0 || FAILED(result->get_ResponseData(data.Put())) || !data || FAILED(data->get_Length(&length))) {
        return {};
    }
    ComPtr<IBufferByteAccess> access;
    BYTE* bytes = nullptr;
    if (length == 0 || FAILED(data->QueryInterface(IID_IBufferByteAccess, reinterpret_cast<void**>(access.Put()))) ||
        FAILED(access->Buffer(&bytes)) || bytes == nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(bytes), length);
}

namespace {

// The slot from "netsh mbn show slotmapping *": the first character after the separator.
int SlotFromNetsh() {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        return 0;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring program = std::wstring(system) + L"\\netsh.exe";
    wchar_t commandLine[] = L"netsh mbn show slotmapping *";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.c_str(), commandLine, nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(outWrite);
    std::string output;
    if (started) {
        WaitForSingleObject(process.hProcess, 2000);
        char chunk[1024];
        DWORD available = 0;
        DWORD read = 0;
        while (PeekNamedPipe(outRead, nullptr, 0, nullptr, &available, nullptr) && available != 0 &&
               ReadFile(outRead, chunk, sizeof(chunk), &read, nullptr) && read != 0) {
            output.append(chunk, read);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(outRead);
    const std::string separator = std::string(37, '-') + "\r\n";
    const std::size_t at = output.find(separator);
    if (at == std::string::npos || at + separator.size() >= output.size()) {
        return 0;
    }
    const char first = output[at + separator.size()];
    return first == '0' ? 1 : first == '1' ? 2 : 0;
}

int SlotFromModem() {
    const std::string answer = SendAtCommandFloor("at+esimmap?\r\n");
    if (answer.find("OK") == std::string::npos) {
        return 0;
    }
    return answer.find("+ESIMMAP: 1") != std::string::npos ? 1 : answer.find("+ESIMMAP: 2") != std::string::npos ? 2 : 0;
}

}  // namespace

namespace {

class AccountUpdatedHandler final
    : public AgileDelegate<ITypedEventHandler_Watcher_AccountUpdatedEventArgs,
                           IID_ITypedEventHandler_Watcher_AccountUpdatedEventArgs> {
public:
    explicit AccountUpdatedHandler(HANDLE updated) : m_Updated(updated) {}
    HRESULT STDMETHODCALLTYPE Invoke(IMobileBroadbandAccountWatcher*, IMobileBroadbandAccountUpdatedEventArgs*) override {
        SetEvent(m_Updated);
        return S_OK;
    }

private:
    HANDLE m_Updated;
};

}  // namespace

void* FollowAccountUpdates() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    static IMobileBroadbandAccountWatcher* watcher = nullptr;  // follows until the process ends
    static const HANDLE updated = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (watcher != nullptr) {
        return updated;
    }
    HStringRef name(RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandAccountWatcher);
    ComPtr<IInspectable> instance;
    if (FAILED(RoActivateInstance(name.Get(), instance.Put())) ||
        FAILED(instance->QueryInterface(IID_IMobileBroadbandAccountWatcher, reinterpret_cast<void**>(&watcher)))) {
        return nullptr;
    }
    auto* handler = new AccountUpdatedHandler(updated);
    EventRegistrationToken token{};
    const HRESULT added = watcher->add_AccountUpdated(handler, &token);
    handler->Release();
    if (FAILED(added) || FAILED(watcher->Start())) {
        return nullptr;
    }
    return updated;
}

namespace {

// Stands for the wrapper's event sink: every event interface is this object, and every
// notification is ignored (on x64 one function serves any method, whatever its arguments:
// the caller cleans them up).
struct IgnoringSink {
    const void* const* Methods;
};
HRESULT STDMETHODCALLTYPE SinkQueryInterface(IgnoringSink* self, REFIID, void** object) {
    *object = self;
    return S_OK;
}
ULONG STDMETHODCALLTYPE SinkAddRef(IgnoringSink*) { return 2; }
ULONG STDMETHODCALLTYPE SinkRelease(IgnoringSink*) { return 1; }
HRESULT STDMETHODCALLTYPE SinkIgnore(IgnoringSink*) { return S_OK; }

IUnknown* Sink() {
    static const void* methods[16];
    static IgnoringSink sink{methods};
    methods[0] = reinterpret_cast<const void*>(SinkQueryInterface);
    methods[1] = reinterpret_cast<const void*>(SinkAddRef);
    methods[2] = reinterpret_cast<const void*>(SinkRelease);
    for (size_t i = 3; i < ARRAYSIZE(methods); ++i) {
        methods[i] = reinterpret_cast<const void*>(SinkIgnore);
    }
    return reinterpret_cast<IUnknown*>(&sink);
}

// One subscription, kept until the process ends, as the wrapper keeps its own.
void Subscribe(IUnknown* source, const IID& events) {
    ComPtr<IConnectionPointContainer> container;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    if (source != nullptr &&
        SUCCEEDED(source->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Put()))) &&
        SUCCEEDED(container->FindConnectionPoint(events, &point))) {
        point->Advise(Sink(), &cookie);
    }
}

}  // namespace

void ConnectMobileBroadbandFloor() {
    using namespace QuarnMbn;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const GUID* const classes[][2] = {{&CLSID_MbnInterfaceManager, &IID_IMbnInterfaceManager},
                                      {&CLSID_MbnConnectionManager, &IID_IMbnConnectionManager},
                                      {&CLSID_MbnConnectionProfileManager, &IID_IMbnConnectionProfileManager},
                                      {&CLSID_MbnDeviceServicesManager, &IID_IMbnDeviceServicesManager}};
    IUnknown* managers[4] = {};
    for (size_t i = 0; i < 4; ++i) {
        CoCreateInstance(*classes[i][0], nullptr, CLSCTX_ALL, *classes[i][1], reinterpret_cast<void**>(&managers[i]));
    }
    Subscribe(managers[0], IID_IMbnInterfaceManagerEvents);
    // The detection: its own interface manager, the list, the first interface's identifier.
    ComPtr<IMbnInterfaceManager> lister;
    SAFEARRAY* list = nullptr;
    BSTR id = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                   reinterpret_cast<void**>(lister.Put()))) &&
        SUCCEEDED(lister->GetInterfaces(&list))) {
        IMbnInterface* first = nullptr;
        LONG index = 0;
        if (SUCCEEDED(SafeArrayGetElement(list, &index, &first)) && first != nullptr) {
            first->get_InterfaceID(&id);
            first->Release();
        }
        SafeArrayDestroy(list);
    }
    if (id == nullptr) {
        return;  // no interface: the wrapper waits for one, and so does the floor
    }
    Sleep(50);  // the wrapper's pause before its subscriptions
    for (const IID* events : {&IID_IMbnInterfaceEvents, &IID_IMbnRegistrationEvents, &IID_IMbnSignalEvents,
                              &IID_IMbnRadioEvents}) {
        Subscribe(managers[0], *events);
    }
    Subscribe(managers[1], IID_IMbnConnectionManagerEvents);
    Subscribe(managers[1], IID_IMbnConnectionEvents);
    IMbnDeviceServicesContext* context = nullptr;
    static_cast<IMbnDeviceServicesManager*>(managers[3])->GetDeviceServicesContext(id, &context);
    Subscribe(managers[3], IID_IMbnDeviceServicesEvents);
    IMbnInterface* mbnInterface = nullptr;
    if (SUCCEEDED(static_cast<IMbnInterfaceManager*>(managers[0])->GetInterface(id, &mbnInterface))) {
        void* state = nullptr;
        for (const IID* kind : {&IID_IMbnSignal, &IID_IMbnRegistration, &IID_IMbnRadio}) {
            mbnInterface->QueryInterface(*kind, &state);
        }
    }
    SysFreeString(id);
}

int DecideFloor(bool fourG) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IMobileBroadbandModemStatics* statics = ModemStatics();
    ComPtr<IMobileBroadbandModem> modem;
    ComPtr<IMobileBroadbandDeviceInformation> information;
    NetworkDeviceStatus status{};
    if (statics == nullptr || FAILED(statics->GetDefault(modem.Put())) || !modem ||
        FAILED(modem->get_DeviceInformation(information.Put())) || !information ||
        FAILED(information->get_NetworkDeviceStatus(&status))) {
        return -1;
    }
    if (status != NetworkDeviceStatus_DeviceReady) {
        return 0;
    }
    return fourG ? SlotFromNetsh() : SlotFromModem();
}

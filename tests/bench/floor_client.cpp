#include "tests/bench/floor_client.h"

#include <windows.h>
#include <objbase.h>
#include <roapi.h>

#include <atomic>
#include <memory>

#include "common/win/agile_delegate.h"
#include "common/win/com_ptr.h"
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

// A client of the emulator that reaches it exactly as the product will: through the
// system's activation of the registered classes and the ABI interfaces, with the model
// scripted and its journal read over the control channel.
#include <windows.h>
#include <roapi.h>
#include <winstring.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/win/agile_delegate.h"
#include "common/win/com_ptr.h"
#include "compat/winrt_network_operators.h"
#include "emulator/win/emu_channel.h"
#include "tests/support/win/emulator_process.h"
#include "tests/support/win/eventually.h"

using namespace QuarnWinRT;

namespace {

constexpr wchar_t kVendorAtService[] = L"{DA138C64-6515-4893-92B2-A1E1CA7C81CA}";

std::wstring ToWide(HSTRING value) { return WindowsGetStringRawBuffer(value, nullptr); }

std::string Emu(const std::string& request) { return EmuRequest(request); }

bool JournalHas(const std::string& text) { return Emu("journal").find(text) != std::string::npos; }

// Delegates as an application writes them.
template <typename Interface, const GUID& kIid>
using Delegate = AgileDelegate<Interface, kIid>;

struct Completion {
    HANDLE Done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> Status{-1};
    std::atomic<DWORD> ThreadId{0};
    ~Completion() { CloseHandle(Done); }
};

class CompletedHandler
    : public Delegate<IAsyncOperationCompletedHandler_CommandResult, IID_IAsyncOperationCompletedHandler_CommandResult> {
public:
    explicit CompletedHandler(Completion* completion) : m_Completion(completion) {}
    HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperation_CommandResult*, AsyncStatus status) override {
        m_Completion->Status = static_cast<int>(status);
        m_Completion->ThreadId = GetCurrentThreadId();
        SetEvent(m_Completion->Done);
        return S_OK;
    }

private:
    Completion* m_Completion;
};

struct Seen {
    std::mutex Mutex;
    std::vector<std::wstring> Events;
    HANDLE Changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~Seen() { CloseHandle(Changed); }
    void Add(const std::wstring& event) {
        {
            std::lock_guard<std::mutex> lock(Mutex);
            Events.push_back(event);
        }
        SetEvent(Changed);
    }
    // Waits until `event` has been seen.
    bool WaitFor(const std::wstring& event, DWORD timeoutMs = 5000) {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(Mutex);
                for (const std::wstring& seen : Events) {
                    if (seen == event) {
                        return true;
                    }
                }
            }
            if (GetTickCount64() >= deadline) {
                return false;
            }
            WaitForSingleObject(Changed, 100);
        }
    }
};

class AccountHandler
    : public Delegate<ITypedEventHandler_Watcher_AccountEventArgs, IID_ITypedEventHandler_Watcher_AccountEventArgs> {
public:
    AccountHandler(Seen* seen, const wchar_t* kind) : m_Seen(seen), m_Kind(kind) {}
    HRESULT STDMETHODCALLTYPE Invoke(IMobileBroadbandAccountWatcher*, IMobileBroadbandAccountEventArgs* args) override {
        HSTRING id = nullptr;
        args->get_NetworkAccountId(&id);
        m_Seen->Add(m_Kind + L" " + ToWide(id));
        WindowsDeleteString(id);
        return S_OK;
    }

private:
    Seen* m_Seen;
    std::wstring m_Kind;
};

class UpdatedHandler : public Delegate<ITypedEventHandler_Watcher_AccountUpdatedEventArgs,
                                       IID_ITypedEventHandler_Watcher_AccountUpdatedEventArgs> {
public:
    explicit UpdatedHandler(Seen* seen) : m_Seen(seen) {}
    HRESULT STDMETHODCALLTYPE Invoke(IMobileBroadbandAccountWatcher*, IMobileBroadbandAccountUpdatedEventArgs* args) override {
        HSTRING id = nullptr;
        boolean device = false;
        boolean network = false;
        args->get_NetworkAccountId(&id);
        args->get_HasDeviceInformationChanged(&device);
        args->get_HasNetworkChanged(&network);
        m_Seen->Add(L"updated " + ToWide(id) + L" " + std::to_wstring(device) + L" " + std::to_wstring(network));
        WindowsDeleteString(id);
        return S_OK;
    }

private:
    Seen* m_Seen;
};

class ObjectHandler : public Delegate<ITypedEventHandler_Watcher_Object, IID_ITypedEventHandler_Watcher_Object> {
public:
    ObjectHandler(Seen* seen, const wchar_t* kind) : m_Seen(seen), m_Kind(kind) {}
    HRESULT STDMETHODCALLTYPE Invoke(IMobileBroadbandAccountWatcher*, IInspectable*) override {
        m_Seen->Add(m_Kind);
        return S_OK;
    }

private:
    Seen* m_Seen;
    std::wstring m_Kind;
};

class EmulatorClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_TRUE(s_Emulator.Start()) << "the emulator did not start";
    }
    static void TearDownTestSuite() { s_Emulator.Stop(); }
    void SetUp() override { ASSERT_EQ(Emu("reset"), "ok"); }

    void Script(std::initializer_list<const char*> requests) {
        for (const char* request : requests) {
            ASSERT_EQ(Emu(request), "ok") << request;
        }
    }

    ComPtr<IMobileBroadbandModem> DefaultModem() {
        ComPtr<IMobileBroadbandModemStatics> statics;
        HStringRef name(RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandModem);
        EXPECT_EQ(RoGetActivationFactory(name.Get(), IID_IMobileBroadbandModemStatics,
                                         reinterpret_cast<void**>(statics.Put())),
                  S_OK);
        ComPtr<IMobileBroadbandModem> modem;
        if (statics) {
            EXPECT_EQ(statics->GetDefault(modem.Put()), S_OK);
        }
        return modem;
    }

    // Opens a session on the vendor AT service of the default modem and sends `payload`
    // as set command 1, in a 4096-byte buffer cut to the payload's length.
    void SendSet(const std::string& payload, ComPtr<IAsyncOperation_CommandResult>* operation) {
        ComPtr<IMobileBroadbandModem> modem = DefaultModem();
        ASSERT_TRUE(modem);
        GUID serviceId{};
        ASSERT_EQ(CLSIDFromString(kVendorAtService, &serviceId), S_OK);
        ComPtr<IMobileBroadbandDeviceService> service;
        ASSERT_EQ(modem->GetDeviceService(serviceId, service.Put()), S_OK);
        ASSERT_TRUE(service);
        ComPtr<IMobileBroadbandDeviceServiceCommandSession> session;
        ASSERT_EQ(service->OpenCommandSession(session.Put()), S_OK);

        ComPtr<ICryptographicBufferStatics> crypto;
        HStringRef name(RuntimeClass_Windows_Security_Cryptography_CryptographicBuffer);
        ASSERT_EQ(RoGetActivationFactory(name.Get(), IID_ICryptographicBufferStatics,
                                         reinterpret_cast<void**>(crypto.Put())),
                  S_OK);
        std::vector<BYTE> bytes(4096, 0);
        std::copy(payload.begin(), payload.end(), bytes.begin());
        ComPtr<IBuffer> buffer;
        ASSERT_EQ(crypto->CreateFromByteArray(4096, bytes.data(), buffer.Put()), S_OK);
        ASSERT_EQ(buffer->put_Length(static_cast<UINT32>(payload.size())), S_OK);
        ASSERT_EQ(session->SendSetCommandAsync(1, buffer.Get(), operation->Put()), S_OK);
        ASSERT_TRUE(*operation);
    }

    static std::string ResponseOf(IAsyncOperation_CommandResult* operation, UINT32* statusCode) {
        ComPtr<IMobileBroadbandDeviceServiceCommandResult> result;
        EXPECT_EQ(operation->GetResults(result.Put()), S_OK);
        if (!result) {
            return "<no result>";
        }
        result->get_StatusCode(statusCode);
        ComPtr<IBuffer> data;
        result->get_ResponseData(data.Put());
        if (!data) {
            return "<no data>";
        }
        UINT32 length = 0;
        data->get_Length(&length);
        ComPtr<IBufferByteAccess> access;
        data->QueryInterface(IID_IBufferByteAccess, reinterpret_cast<void**>(access.Put()));
        BYTE* bytes = nullptr;
        if (!access || FAILED(access->Buffer(&bytes)) || (bytes == nullptr && length != 0)) {
            return "<unreadable data>";
        }
        return std::string(reinterpret_cast<const char*>(bytes), length);
    }

    static EmulatorProcess s_Emulator;
};
EmulatorProcess EmulatorClientTest::s_Emulator;

// Clients that come all at once, as the facades' threads and the tests do: every request
// is answered, none is dropped, and none waits for ever.
TEST_F(EmulatorClientTest, ManyClientsAtOnceAreAllAnswered) {
    constexpr int kClients = 6;
    constexpr int kRequests = 150;
    struct Tally {
        std::atomic<int> answered{0};
        std::atomic<int> refused{0};
    };
    auto* tally = new Tally();  // outlives a client left waiting, should one be
    for (int client = 0; client < kClients; ++client) {
        std::thread([tally] {
            for (int i = 0; i < kRequests; ++i) {
                (EmuRequest("state").rfind("ok ", 0) == 0 ? tally->answered : tally->refused)++;
            }
        }).detach();
    }
    // Bounded only against a hang: a loaded machine answers these in a few seconds.
    EXPECT_TRUE(Eventually([tally] { return tally->answered + tally->refused == kClients * kRequests; }, 120000))
        << "a request was never answered";
    EXPECT_EQ(tally->refused, 0);
}

TEST_F(EmulatorClientTest, ASetCommandReachesTheModemByteForByteAndCompletesOnAnotherThread) {
    // The delay lets the handler be attached first: one attached after completion runs at
    // once on the attaching thread, which is another case (below).
    Script({"modem 4g", "sim ready", "fault delay 200"});
    ComPtr<IMobileBroadbandModem> modem = DefaultModem();
    ASSERT_TRUE(modem);
    ComPtr<IMobileBroadbandDeviceInformation> information;
    ASSERT_EQ(modem->get_DeviceInformation(information.Put()), S_OK);
    NetworkDeviceStatus status{};
    ASSERT_EQ(information->get_NetworkDeviceStatus(&status), S_OK);
    EXPECT_EQ(status, NetworkDeviceStatus_DeviceReady);

    ComPtr<IAsyncOperation_CommandResult> operation;
    ASSERT_NO_FATAL_FAILURE(SendSet("AT+XSIMPOWER=0,1\r\n", &operation));
    Completion completion;
    auto* handler = new CompletedHandler(&completion);
    ASSERT_EQ(operation->put_Completed(handler), S_OK);
    handler->Release();
    ASSERT_EQ(WaitForSingleObject(completion.Done, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(completion.Status, static_cast<int>(AsyncStatus::Completed));
    EXPECT_NE(completion.ThreadId, GetCurrentThreadId());

    UINT32 statusCode = 99;
    EXPECT_EQ(ResponseOf(operation.Get(), &statusCode), "\r\nOK\r\n");
    EXPECT_EQ(statusCode, 0u);
    EXPECT_TRUE(JournalHas("at cmd=1 len=18 \"AT+XSIMPOWER=0,1\\r\\n\""));
    EXPECT_TRUE(JournalHas("session 1 open") || JournalHas(" open"));

    ASSERT_EQ(information->get_NetworkDeviceStatus(&status), S_OK);
    EXPECT_EQ(status, NetworkDeviceStatus_SimNotInserted) << "the SIM is powered off now";
}

TEST_F(EmulatorClientTest, AHandlerSetAfterCompletionRunsAtOnceAndOnlyOnce) {
    Script({"modem 5g", "slot 2"});
    ComPtr<IAsyncOperation_CommandResult> operation;
    ASSERT_NO_FATAL_FAILURE(SendSet("at+esimmap?\r\n", &operation));
    ComPtr<IAsyncInfo> info;
    ASSERT_EQ(operation->QueryInterface(QuarnWinRT::IID_IAsyncInfo, reinterpret_cast<void**>(info.Put())), S_OK);
    AsyncStatus status = AsyncStatus::Started;
    Eventually([&] { return SUCCEEDED(info->get_Status(&status)) && status != AsyncStatus::Started; });
    ASSERT_EQ(status, AsyncStatus::Completed);

    Completion completion;
    auto* handler = new CompletedHandler(&completion);
    EXPECT_EQ(operation->put_Completed(handler), S_OK);
    EXPECT_EQ(completion.ThreadId, GetCurrentThreadId());
    EXPECT_NE(operation->put_Completed(handler), S_OK) << "a second handler is refused";
    handler->Release();
    UINT32 statusCode = 99;
    EXPECT_EQ(ResponseOf(operation.Get(), &statusCode), "\r\n+ESIMMAP: 2\r\n\r\nOK\r\n");
}

TEST_F(EmulatorClientTest, NoModemNoServiceAndModemFaults) {
    EXPECT_FALSE(DefaultModem()) << "no modem: GetDefault gives no object";

    Script({"modem 4g", "fault service missing"});
    ComPtr<IMobileBroadbandModem> modem = DefaultModem();
    ASSERT_TRUE(modem);
    GUID serviceId{};
    CLSIDFromString(kVendorAtService, &serviceId);
    ComPtr<IMobileBroadbandDeviceService> service;
    EXPECT_EQ(modem->GetDeviceService(serviceId, service.Put()), S_OK);
    EXPECT_FALSE(service);

    struct FaultCase {
        const char* fault;
        UINT32 status;
        const char* response;
    } cases[] = {{"fault answer error", 0, "\r\nERROR\r\n"},
                 {"fault answer cme 10", 0, "\r\n+CME ERROR: 10\r\n"},
                 {"fault status 5", 5, ""}};
    for (const FaultCase& c : cases) {
        Script({"fault none", c.fault});
        ComPtr<IAsyncOperation_CommandResult> operation;
        ASSERT_NO_FATAL_FAILURE(SendSet("at+csus?\r\n", &operation));
        Completion completion;
        auto* handler = new CompletedHandler(&completion);
        operation->put_Completed(handler);
        handler->Release();
        ASSERT_EQ(WaitForSingleObject(completion.Done, 5000), WAIT_OBJECT_0) << c.fault;
        UINT32 statusCode = 99;
        EXPECT_EQ(ResponseOf(operation.Get(), &statusCode), c.response) << c.fault;
        EXPECT_EQ(statusCode, c.status) << c.fault;
    }
}

TEST_F(EmulatorClientTest, ADelayedAnswerArrivesLateAndASilentModemNeverAnswers) {
    Script({"modem 4g", "fault delay 2000"});
    ComPtr<IAsyncOperation_CommandResult> operation;
    ASSERT_NO_FATAL_FAILURE(SendSet("at+csus?\r\n", &operation));
    Completion completion;
    auto* handler = new CompletedHandler(&completion);
    operation->put_Completed(handler);
    handler->Release();
    EXPECT_EQ(WaitForSingleObject(completion.Done, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    // The client gives up and lets go; the late completion must still find its handler alive.
    operation.Reset();
    EXPECT_EQ(WaitForSingleObject(completion.Done, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(completion.Status, static_cast<int>(AsyncStatus::Completed));

    Script({"fault none", "fault silent on"});
    ASSERT_NO_FATAL_FAILURE(SendSet("at+csus?\r\n", &operation));
    Completion silent;
    handler = new CompletedHandler(&silent);
    operation->put_Completed(handler);
    handler->Release();
    EXPECT_EQ(WaitForSingleObject(silent.Done, 700), static_cast<DWORD>(WAIT_TIMEOUT));
    ComPtr<IMobileBroadbandDeviceServiceCommandResult> none;
    EXPECT_NE(operation->GetResults(none.Put()), S_OK);
    EXPECT_TRUE(JournalHas("at cmd=1 len=10 \"at+csus?\\r\\n\""));
}

class WatcherTest : public EmulatorClientTest {
protected:
    ComPtr<IMobileBroadbandAccountWatcher> CreateWatcher(Seen* seen) {
        HStringRef name(RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandAccountWatcher);
        ComPtr<IInspectable> instance;
        EXPECT_EQ(RoActivateInstance(name.Get(), instance.Put()), S_OK);
        ComPtr<IMobileBroadbandAccountWatcher> watcher;
        if (!instance) {
            return watcher;
        }
        EXPECT_EQ(instance->QueryInterface(IID_IMobileBroadbandAccountWatcher, reinterpret_cast<void**>(watcher.Put())),
                  S_OK);
        EventRegistrationToken token{};
        auto attach = [&](auto* handler, auto add) {
            EXPECT_EQ((watcher.Get()->*add)(handler, &token), S_OK);
            handler->Release();
        };
        attach(new AccountHandler(seen, L"added"), &IMobileBroadbandAccountWatcher::add_AccountAdded);
        attach(new UpdatedHandler(seen), &IMobileBroadbandAccountWatcher::add_AccountUpdated);
        attach(new AccountHandler(seen, L"removed"), &IMobileBroadbandAccountWatcher::add_AccountRemoved);
        attach(new ObjectHandler(seen, L"enumerated"), &IMobileBroadbandAccountWatcher::add_EnumerationCompleted);
        attach(new ObjectHandler(seen, L"stopped"), &IMobileBroadbandAccountWatcher::add_Stopped);
        return watcher;
    }
    static MobileBroadbandAccountWatcherStatus StatusOf(IMobileBroadbandAccountWatcher* watcher) {
        MobileBroadbandAccountWatcherStatus status{};
        EXPECT_EQ(watcher->get_Status(&status), S_OK);
        return status;
    }
};

TEST_F(WatcherTest, EnumeratesThenDeliversAccountEventsUntilStopped) {
    Script({"modem 4g"});
    Seen seen;
    ComPtr<IMobileBroadbandAccountWatcher> watcher = CreateWatcher(&seen);
    ASSERT_TRUE(watcher);
    EXPECT_EQ(StatusOf(watcher.Get()), MobileBroadbandAccountWatcherStatus_Created);
    ASSERT_EQ(watcher->Start(), S_OK);
    EXPECT_EQ(StatusOf(watcher.Get()), MobileBroadbandAccountWatcherStatus_EnumerationCompleted)
        << "the status read right after Start shows the completed enumeration";
    EXPECT_TRUE(seen.WaitFor(L"added account-4g"));
    EXPECT_TRUE(seen.WaitFor(L"enumerated"));

    Script({"event updated account-4g network"});
    EXPECT_TRUE(seen.WaitFor(L"updated account-4g 0 1"));
    Script({"modem none"});
    EXPECT_TRUE(seen.WaitFor(L"removed account-4g"));
    Script({"modem 5g"});
    EXPECT_TRUE(seen.WaitFor(L"added account-5g"));

    ASSERT_EQ(watcher->Stop(), S_OK);
    EXPECT_EQ(StatusOf(watcher.Get()), MobileBroadbandAccountWatcherStatus_Stopped);
    EXPECT_TRUE(seen.WaitFor(L"stopped"));
    EXPECT_TRUE(JournalHas("watcher start"));
    EXPECT_TRUE(JournalHas("watcher stop"));
}

TEST_F(WatcherTest, AnEnumerationThatNeverCompletesOrAbortsShowsInTheStatus) {
    Script({"modem 4g", "fault enumeration never"});
    Seen seen;
    ComPtr<IMobileBroadbandAccountWatcher> watcher = CreateWatcher(&seen);
    ASSERT_TRUE(watcher);
    ASSERT_EQ(watcher->Start(), S_OK);
    EXPECT_EQ(StatusOf(watcher.Get()), MobileBroadbandAccountWatcherStatus_Started);
    EXPECT_FALSE(seen.WaitFor(L"enumerated", 300));
    EXPECT_EQ(watcher->Stop(), S_OK);

    Script({"fault enumeration abort"});
    Seen aborted;
    ComPtr<IMobileBroadbandAccountWatcher> second = CreateWatcher(&aborted);
    ASSERT_TRUE(second);
    ASSERT_EQ(second->Start(), S_OK);
    EXPECT_EQ(StatusOf(second.Get()), MobileBroadbandAccountWatcherStatus_Aborted);
    EXPECT_TRUE(aborted.WaitFor(L"stopped"));
    EXPECT_NE(second->Stop(), S_OK) << "an aborted watcher cannot be stopped";
}

TEST_F(EmulatorClientTest, TheSimPoweringOffRaisesAnAccountUpdateWithDeviceInformation) {
    Script({"modem 4g"});
    Seen seen;
    HStringRef name(RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandAccountWatcher);
    ComPtr<IInspectable> instance;
    ASSERT_EQ(RoActivateInstance(name.Get(), instance.Put()), S_OK);
    ComPtr<IMobileBroadbandAccountWatcher> watcher;
    ASSERT_EQ(instance->QueryInterface(IID_IMobileBroadbandAccountWatcher, reinterpret_cast<void**>(watcher.Put())), S_OK);
    EventRegistrationToken token{};
    auto* updated = new UpdatedHandler(&seen);
    watcher->add_AccountUpdated(updated, &token);
    updated->Release();
    ASSERT_EQ(watcher->Start(), S_OK);

    ComPtr<IAsyncOperation_CommandResult> operation;
    ASSERT_NO_FATAL_FAILURE(SendSet("AT+XSIMPOWER=0,1\r\n", &operation));
    EXPECT_TRUE(seen.WaitFor(L"updated account-4g 1 0"));
    watcher->Stop();
}

}  // namespace

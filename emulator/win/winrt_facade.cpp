// The emulator's Windows Runtime classes, loaded by the system's activation (RoGetActivationFactory
// finds this DLL by the DllPath registered in the test prefix): MobileBroadbandModem with its
// device information, device service, command sessions and asynchronous results;
// MobileBroadbandAccountWatcher with its events; CryptographicBuffer's byte-array statics.
// Every answer comes from the model in modem_emu_server.exe; without it there is no modem.
#include <windows.h>
#include <activation.h>
#include <roapi.h>
#include <winstring.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "compat/winrt_network_operators.h"
#include "emulator/model/modem_model.h"
#include "common/win/com_ptr.h"
#include "emulator/win/detached_thread.h"
#include "emulator/win/emu_channel.h"

using namespace QuarnWinRT;

namespace {

constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000E);
constexpr HRESULT kIllegalStateChange = static_cast<HRESULT>(0x8000000D);
constexpr HRESULT kIllegalDelegateAssignment = static_cast<HRESULT>(0x80000018);
constexpr DWORD kEnumerationWaitMs = 5000;

std::atomic<long> g_Objects{0};
std::atomic<long> g_Factories{0};

bool IsOk(const std::string& reply) { return reply.rfind("ok", 0) == 0; }

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

HRESULT MakeHString(const wchar_t* text, HSTRING* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    return WindowsCreateString(text, static_cast<UINT32>(std::wcslen(text)), out);
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Reference counting, IInspectable and QueryInterface for the classes below. `Find` names
// the interfaces an object answers besides IUnknown, IInspectable and IAgileObject (every
// object here may be called from any thread, as the system's are).
template <typename Derived, typename Primary>
class RuntimeObject : public Primary {
public:
    RuntimeObject() { ++(kFactory ? g_Factories : g_Objects); }
    virtual ~RuntimeObject() { --(kFactory ? g_Factories : g_Objects); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (iid == IID_IUnknown || iid == __uuidof(IInspectable) || iid == QuarnWinRT::IID_IAgileObject) {
            *out = static_cast<Primary*>(this);
        } else {
            *out = static_cast<Derived*>(this)->Find(iid);
        }
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
    HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override {
        if (count == nullptr || iids == nullptr) {
            return E_POINTER;
        }
        *count = 0;
        *iids = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {
        return MakeHString(Derived::kClassName, name);
    }
    HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {
        if (level == nullptr) {
            return E_POINTER;
        }
        *level = BaseTrust;
        return S_OK;
    }

private:
    // Activation factories are counted apart: a client keeps them for the life of its process.
    static constexpr bool kFactory = std::is_same_v<Primary, IActivationFactory>;
    std::atomic<ULONG> m_References{1};
};

// An object with a second interface base inherits IUnknown (and IInspectable) twice; these
// route both to RuntimeObject's single implementation.
#define QUARN_FORWARD_UNKNOWN()                                                          \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {          \
        return RuntimeObject::QueryInterface(iid, out);                                  \
    }                                                                                    \
    ULONG STDMETHODCALLTYPE AddRef() override { return RuntimeObject::AddRef(); }        \
    ULONG STDMETHODCALLTYPE Release() override { return RuntimeObject::Release(); }
#define QUARN_FORWARD_INSPECTABLE()                                                      \
    QUARN_FORWARD_UNKNOWN()                                                              \
    HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override {               \
        return RuntimeObject::GetIids(count, iids);                                      \
    }                                                                                    \
    HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {              \
        return RuntimeObject::GetRuntimeClassName(name);                                 \
    }                                                                                    \
    HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {                \
        return RuntimeObject::GetTrustLevel(level);                                      \
    }


// ---------------------------------------------------------------------------------------
// Buffers: IBuffer with IBufferByteAccess, as Windows.Storage.Streams.Buffer.

class ByteBuffer final : public RuntimeObject<ByteBuffer, IBuffer>, public IBufferByteAccess {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Storage.Streams.Buffer";

    ByteBuffer(const BYTE* bytes, UINT32 length) : m_Bytes(bytes, bytes + length), m_Length(length) {}

    void* Find(REFIID iid) {
        if (iid == IID_IBuffer) {
            return static_cast<IBuffer*>(this);
        }
        if (iid == IID_IBufferByteAccess) {
            return static_cast<IBufferByteAccess*>(this);
        }
        return nullptr;
    }
    HRESULT STDMETHODCALLTYPE get_Capacity(UINT32* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = static_cast<UINT32>(m_Bytes.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Length(UINT32* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = m_Length;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Length(UINT32 value) override {
        if (value > m_Bytes.size()) {
            return E_INVALIDARG;
        }
        m_Length = value;
        return S_OK;
    }
    // IBufferByteAccess (its IUnknown forwards to the buffer's).
    QUARN_FORWARD_UNKNOWN()
    HRESULT STDMETHODCALLTYPE Buffer(BYTE** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = m_Bytes.empty() ? nullptr : m_Bytes.data();
        return S_OK;
    }

private:
    std::vector<BYTE> m_Bytes;
    UINT32 m_Length;
};

// The bytes an IBuffer holds, as any client would read them.
bool ReadBuffer(IBuffer* buffer, std::string* bytes) {
    UINT32 length = 0;
    if (buffer == nullptr || FAILED(buffer->get_Length(&length))) {
        return false;
    }
    IBufferByteAccess* access = nullptr;
    if (FAILED(buffer->QueryInterface(IID_IBufferByteAccess, reinterpret_cast<void**>(&access)))) {
        return false;
    }
    ComPtr<IBufferByteAccess> accessRef(access);
    BYTE* data = nullptr;
    if (FAILED(access->Buffer(&data)) || (data == nullptr && length != 0)) {
        return false;
    }
    bytes->assign(reinterpret_cast<const char*>(data), length);
    return true;
}

class CryptographicBufferStatics final : public RuntimeObject<CryptographicBufferStatics, IActivationFactory>,
                                         public ICryptographicBufferStatics {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Security.Cryptography.CryptographicBuffer";

    void* Find(REFIID iid) {
        if (iid == __uuidof(IActivationFactory)) {
            return static_cast<IActivationFactory*>(this);
        }
        if (iid == IID_ICryptographicBufferStatics) {
            return static_cast<ICryptographicBufferStatics*>(this);
        }
        return nullptr;
    }
    QUARN_FORWARD_INSPECTABLE()

    HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable**) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE Compare(IBuffer* a, IBuffer* b, boolean* isEqual) override {
        std::string left;
        std::string right;
        if (isEqual == nullptr || !ReadBuffer(a, &left) || !ReadBuffer(b, &right)) {
            return E_INVALIDARG;
        }
        *isEqual = left == right;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GenerateRandom(UINT32, IBuffer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GenerateRandomNumber(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateFromByteArray(UINT32 length, BYTE* bytes, IBuffer** buffer) override {
        if (buffer == nullptr || (bytes == nullptr && length != 0)) {
            return E_POINTER;
        }
        *buffer = new ByteBuffer(bytes, length);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyToByteArray(IBuffer* buffer, UINT32* length, BYTE** bytes) override {
        std::string content;
        if (length == nullptr || bytes == nullptr || !ReadBuffer(buffer, &content)) {
            return E_INVALIDARG;
        }
        *bytes = static_cast<BYTE*>(CoTaskMemAlloc(content.empty() ? 1 : content.size()));
        if (*bytes == nullptr) {
            return E_OUTOFMEMORY;
        }
        std::memcpy(*bytes, content.data(), content.size());
        *length = static_cast<UINT32>(content.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DecodeFromHexString(HSTRING, IBuffer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EncodeToHexString(IBuffer*, HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DecodeFromBase64String(HSTRING, IBuffer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EncodeToBase64String(IBuffer*, HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ConvertStringToBinary(HSTRING, BinaryStringEncoding, IBuffer**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ConvertBinaryToString(BinaryStringEncoding, IBuffer*, HSTRING*) override {
        return E_NOTIMPL;
    }
};

// ---------------------------------------------------------------------------------------
// Device-service commands and their asynchronous results.

class CommandResult final : public RuntimeObject<CommandResult, IMobileBroadbandDeviceServiceCommandResult> {
public:
    static constexpr const wchar_t* kClassName =
        L"Windows.Networking.NetworkOperators.MobileBroadbandDeviceServiceCommandResult";

    CommandResult(UINT32 status, std::string response, bool nullResponse)
        : m_Status(status), m_Response(std::move(response)), m_NullResponse(nullResponse) {}

    void* Find(REFIID iid) {
        return iid == IID_IMobileBroadbandDeviceServiceCommandResult
                   ? static_cast<IMobileBroadbandDeviceServiceCommandResult*>(this)
                   : nullptr;
    }
    HRESULT STDMETHODCALLTYPE get_StatusCode(UINT32* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = m_Status;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ResponseData(IBuffer** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = m_NullResponse ? nullptr
                                : new ByteBuffer(reinterpret_cast<const BYTE*>(m_Response.data()),
                                                 static_cast<UINT32>(m_Response.size()));
        return S_OK;
    }

private:
    UINT32 m_Status;
    std::string m_Response;
    bool m_NullResponse;
};

// How the model says a set command ends: "silent" or "DELAY STATUS HEX|-", then the
// scripted flags (inline, error=HEX, canceled, results=HEX, noresponse).
struct PlannedCompletion {
    bool Silent = false;
    DWORD DelayMs = 0;
    UINT32 Status = 0;
    std::string Response;
    bool Inline = false;  // completes inside put_Completed, on the caller's thread
    AsyncStatus Ending = AsyncStatus::Completed;
    HRESULT ErrorCode = S_OK;
    HRESULT ResultsFailure = S_OK;
    bool NullResponse = false;
};

PlannedCompletion PlanOf(const std::string& reply) {
    PlannedCompletion plan;
    std::istringstream words(reply);
    std::string ok;
    std::string first;
    words >> ok >> first;
    if (ok != "ok") {
        plan.Ending = AsyncStatus::Error;
        plan.ErrorCode = E_FAIL;
        return plan;
    }
    plan.Silent = first == "silent";
    if (!plan.Silent) {
        std::string hex;
        words >> plan.Status >> hex;
        plan.DelayMs = static_cast<DWORD>(std::stoul(first));
        if (hex != "-") {
            emu::FromHex(hex, &plan.Response);
        }
    }
    for (std::string flag; words >> flag;) {
        const std::string value = flag.substr(flag.find('=') + 1);
        if (flag == "inline") {
            plan.Inline = true;
        } else if (flag == "canceled") {
            plan.Ending = AsyncStatus::Canceled;
        } else if (flag.rfind("error=", 0) == 0) {
            plan.Ending = AsyncStatus::Error;
            plan.ErrorCode = static_cast<HRESULT>(std::stoul(value, nullptr, 16));
        } else if (flag.rfind("results=", 0) == 0) {
            plan.ResultsFailure = static_cast<HRESULT>(std::stoul(value, nullptr, 16));
        } else if (flag == "noresponse") {
            plan.NullResponse = true;
        }
    }
    return plan;
}

class CommandOperation final : public RuntimeObject<CommandOperation, IAsyncOperation_CommandResult>,
                               public IAsyncInfo {
public:
    static constexpr const wchar_t* kClassName =
        L"Windows.Foundation.IAsyncOperation`1<Windows.Networking.NetworkOperators.MobileBroadbandDeviceServiceCommandResult>";

    explicit CommandOperation(UINT32 id) : m_Id(id) {}

    void* Find(REFIID iid) {
        if (iid == IID_IAsyncOperation_CommandResult) {
            return static_cast<IAsyncOperation_CommandResult*>(this);
        }
        if (iid == QuarnWinRT::IID_IAsyncInfo) {
            return static_cast<IAsyncInfo*>(this);
        }
        return nullptr;
    }
    QUARN_FORWARD_INSPECTABLE()

    // The handler may be set once; set after completion it runs at once, on the caller's thread.
    HRESULT STDMETHODCALLTYPE put_Completed(IAsyncOperationCompletedHandler_CommandResult* handler) override {
        if (handler == nullptr) {
            return E_POINTER;
        }
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (m_HandlerSet) {
            return kIllegalDelegateAssignment;
        }
        m_HandlerSet = true;
        handler->AddRef();
        m_Handler = handler;
        if (m_Status == AsyncStatus::Started) {
            if (m_InlinePlan) {
                // Completes now, on the caller's thread, before put_Completed returns.
                const PlannedCompletion plan = *m_InlinePlan;
                m_InlinePlan.reset();
                lock.unlock();
                Complete(plan);
            }
            return S_OK;
        }
        const AsyncStatus status = m_Status;
        lock.unlock();
        Deliver(status);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Completed(IAsyncOperationCompletedHandler_CommandResult** handler) override {
        if (handler == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        *handler = m_Handler;
        if (m_Handler != nullptr) {
            m_Handler->AddRef();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetResults(IMobileBroadbandDeviceServiceCommandResult** results) override {
        if (results == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        *results = nullptr;
        if (m_Status == AsyncStatus::Error) {
            return m_ErrorCode;
        }
        if (m_Status != AsyncStatus::Completed || m_Result == nullptr) {
            return kIllegalMethodCall;
        }
        if (FAILED(m_ResultsFailure)) {
            return m_ResultsFailure;
        }
        m_Result->AddRef();
        *results = m_Result;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_Id(UINT32* id) override {
        if (id == nullptr) {
            return E_POINTER;
        }
        *id = m_Id;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Status(AsyncStatus* status) override {
        if (status == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        *status = m_Status;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* code) override {
        if (code == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        *code = m_ErrorCode;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Cancel() override {
        Finish(AsyncStatus::Canceled, nullptr, S_OK);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

    // Ends the operation as planned: at once when inline (on put_Completed), else after the
    // plan's delay on a thread of its own, as the system's completions come.
    void Start(const PlannedCompletion& plan) {
        if (plan.Inline) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_InlinePlan = plan;
            return;
        }
        AddRef();  // held by the completion thread
        StartDetachedThread(L"emu-rt-done", [this, plan] {
            Sleep(plan.DelayMs);
            Complete(plan);
            Release();
        });
    }
    void Complete(const PlannedCompletion& plan) {
        if (plan.Silent) {
            return;  // the modem never answers
        }
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_ResultsFailure = plan.ResultsFailure;
        }
        if (plan.Ending != AsyncStatus::Completed) {
            Finish(plan.Ending, nullptr, plan.ErrorCode);
            return;
        }
        Finish(AsyncStatus::Completed, new CommandResult(plan.Status, plan.Response, plan.NullResponse), S_OK);
    }

    // Completes the operation once; later calls (a cancelled operation's late answer) do nothing.
    void Finish(AsyncStatus status, CommandResult* result, HRESULT errorCode) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Status != AsyncStatus::Started) {
                if (result != nullptr) {
                    result->Release();
                }
                return;
            }
            m_Status = status;
            m_Result = result;
            m_ErrorCode = errorCode;
            if (m_Handler == nullptr) {
                return;
            }
        }
        Deliver(status);
    }

private:
    ~CommandOperation() override {
        if (m_Result != nullptr) {
            m_Result->Release();
        }
        if (m_Handler != nullptr) {
            m_Handler->Release();
        }
    }
    friend class RuntimeObject<CommandOperation, IAsyncOperation_CommandResult>;

    void Deliver(AsyncStatus status) {
        IAsyncOperationCompletedHandler_CommandResult* handler = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            std::swap(handler, m_Handler);  // a handler runs once
        }
        if (handler != nullptr) {
            handler->Invoke(this, status);
            handler->Release();
        }
    }

    const UINT32 m_Id;
    std::mutex m_Mutex;
    AsyncStatus m_Status = AsyncStatus::Started;
    CommandResult* m_Result = nullptr;
    HRESULT m_ErrorCode = S_OK;
    HRESULT m_ResultsFailure = S_OK;
    std::optional<PlannedCompletion> m_InlinePlan;
    bool m_HandlerSet = false;
    IAsyncOperationCompletedHandler_CommandResult* m_Handler = nullptr;
};

class CommandSession final : public RuntimeObject<CommandSession, IMobileBroadbandDeviceServiceCommandSession> {
public:
    static constexpr const wchar_t* kClassName =
        L"Windows.Networking.NetworkOperators.MobileBroadbandDeviceServiceCommandSession";

    explicit CommandSession(std::string id) : m_Id(std::move(id)) {}

    void* Find(REFIID iid) {
        return iid == IID_IMobileBroadbandDeviceServiceCommandSession
                   ? static_cast<IMobileBroadbandDeviceServiceCommandSession*>(this)
                   : nullptr;
    }
    HRESULT STDMETHODCALLTYPE SendQueryCommandAsync(UINT32, IBuffer*, IAsyncOperation_CommandResult**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SendSetCommandAsync(UINT32 commandId, IBuffer* data,
                                                  IAsyncOperation_CommandResult** asyncInfo) override {
        std::string payload;
        if (asyncInfo == nullptr) {
            return E_POINTER;
        }
        *asyncInfo = nullptr;
        if (!ReadBuffer(data, &payload)) {
            return E_INVALIDARG;
        }
        const std::string reply =
            EmuRequest("rt set " + m_Id + " " + std::to_string(commandId) + " " + emu::ToHex(payload));
        if (reply == "ok nooperation") {
            return S_OK;  // as scripted: success and no operation
        }
        static std::atomic<UINT32> nextId{1};
        auto* operation = new CommandOperation(nextId++);
        operation->Start(PlanOf(reply));
        *asyncInfo = operation;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CloseSession() override {
        EmuRequest("rt close " + m_Id);
        return S_OK;
    }

private:
    const std::string m_Id;
};

class DeviceService final : public RuntimeObject<DeviceService, IMobileBroadbandDeviceService> {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Networking.NetworkOperators.MobileBroadbandDeviceService";

    explicit DeviceService(const GUID& id) : m_ServiceId(id) {}

    void* Find(REFIID iid) {
        return iid == IID_IMobileBroadbandDeviceService ? static_cast<IMobileBroadbandDeviceService*>(this) : nullptr;
    }
    HRESULT STDMETHODCALLTYPE get_DeviceServiceId(GUID* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = m_ServiceId;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_SupportedCommands(IVectorView_UInt32**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OpenDataSession(IMobileBroadbandDeviceServiceDataSession**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OpenCommandSession(IMobileBroadbandDeviceServiceCommandSession** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = nullptr;
        const std::string reply = EmuRequest("rt open");
        if (!IsOk(reply)) {
            return E_FAIL;
        }
        if (reply == "ok null") {
            return S_OK;  // as scripted: success and no session
        }
        *value = new CommandSession(reply.substr(3));
        return S_OK;
    }

private:
    const GUID m_ServiceId;
};

// ---------------------------------------------------------------------------------------
// The modem.

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
        if (reply.rfind("ok fail ", 0) == 0) {
            return static_cast<HRESULT>(std::stoul(reply.substr(8), nullptr, 16));
        }
        if (IsOk(reply)) {
            *value = new DeviceService(id);
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
        *value = IsOk(reply) && reply != "ok none" ? new Modem() : nullptr;
        return S_OK;
    }
};

// ---------------------------------------------------------------------------------------
// The account watcher.

class AccountEventArgs final : public RuntimeObject<AccountEventArgs, IMobileBroadbandAccountEventArgs> {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Networking.NetworkOperators.MobileBroadbandAccountEventArgs";
    explicit AccountEventArgs(std::wstring id) : m_Id(std::move(id)) {}
    void* Find(REFIID iid) {
        return iid == IID_IMobileBroadbandAccountEventArgs ? static_cast<IMobileBroadbandAccountEventArgs*>(this)
                                                           : nullptr;
    }
    HRESULT STDMETHODCALLTYPE get_NetworkAccountId(HSTRING* value) override { return MakeHString(m_Id.c_str(), value); }

private:
    const std::wstring m_Id;
};

class AccountUpdatedEventArgs final
    : public RuntimeObject<AccountUpdatedEventArgs, IMobileBroadbandAccountUpdatedEventArgs> {
public:
    static constexpr const wchar_t* kClassName =
        L"Windows.Networking.NetworkOperators.MobileBroadbandAccountUpdatedEventArgs";
    AccountUpdatedEventArgs(std::wstring id, bool device, bool network)
        : m_Id(std::move(id)), m_Device(device), m_Network(network) {}
    void* Find(REFIID iid) {
        return iid == IID_IMobileBroadbandAccountUpdatedEventArgs
                   ? static_cast<IMobileBroadbandAccountUpdatedEventArgs*>(this)
                   : nullptr;
    }
    HRESULT STDMETHODCALLTYPE get_NetworkAccountId(HSTRING* value) override { return MakeHString(m_Id.c_str(), value); }
    HRESULT STDMETHODCALLTYPE get_HasDeviceInformationChanged(boolean* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = m_Device;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_HasNetworkChanged(boolean* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = m_Network;
        return S_OK;
    }

private:
    const std::wstring m_Id;
    const bool m_Device;
    const bool m_Network;
};

// Handlers registered for one event, by token.
template <typename Handler>
class HandlerList {
public:
    HRESULT Add(Handler* handler, EventRegistrationToken* token, int64_t value) {
        if (handler == nullptr || token == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        handler->AddRef();
        m_Handlers[value] = handler;
        token->value = value;
        return S_OK;
    }
    HRESULT Remove(EventRegistrationToken token) {
        Handler* handler = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            const auto it = m_Handlers.find(token.value);
            if (it == m_Handlers.end()) {
                return S_OK;  // unknown tokens are ignored, as the system does
            }
            handler = it->second;
            m_Handlers.erase(it);
        }
        handler->Release();
        return S_OK;
    }
    // Calls every handler outside the lock, so a handler may remove itself.
    template <typename Sender, typename Args>
    void Raise(Sender* sender, Args* args) {
        std::vector<Handler*> handlers;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            for (const auto& entry : m_Handlers) {
                entry.second->AddRef();
                handlers.push_back(entry.second);
            }
        }
        for (Handler* handler : handlers) {
            handler->Invoke(sender, args);
            handler->Release();
        }
    }
    ~HandlerList() {
        for (const auto& entry : m_Handlers) {
            entry.second->Release();
        }
    }

private:
    std::mutex m_Mutex;
    std::map<int64_t, Handler*> m_Handlers;
};

class AccountWatcher final : public RuntimeObject<AccountWatcher, IMobileBroadbandAccountWatcher> {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Networking.NetworkOperators.MobileBroadbandAccountWatcher";

    void* Find(REFIID iid) {
        return iid == IID_IMobileBroadbandAccountWatcher ? static_cast<IMobileBroadbandAccountWatcher*>(this) : nullptr;
    }
    HRESULT STDMETHODCALLTYPE add_AccountAdded(ITypedEventHandler_Watcher_AccountEventArgs* handler,
                                               EventRegistrationToken* cookie) override {
        return m_Added.Add(handler, cookie, ++m_NextToken);
    }
    HRESULT STDMETHODCALLTYPE remove_AccountAdded(EventRegistrationToken cookie) override { return m_Added.Remove(cookie); }
    HRESULT STDMETHODCALLTYPE add_AccountUpdated(ITypedEventHandler_Watcher_AccountUpdatedEventArgs* handler,
                                                 EventRegistrationToken* cookie) override {
        return m_Updated.Add(handler, cookie, ++m_NextToken);
    }
    HRESULT STDMETHODCALLTYPE remove_AccountUpdated(EventRegistrationToken cookie) override {
        return m_Updated.Remove(cookie);
    }
    HRESULT STDMETHODCALLTYPE add_AccountRemoved(ITypedEventHandler_Watcher_AccountEventArgs* handler,
                                                 EventRegistrationToken* cookie) override {
        return m_Removed.Add(handler, cookie, ++m_NextToken);
    }
    HRESULT STDMETHODCALLTYPE remove_AccountRemoved(EventRegistrationToken cookie) override {
        return m_Removed.Remove(cookie);
    }
    HRESULT STDMETHODCALLTYPE add_EnumerationCompleted(ITypedEventHandler_Watcher_Object* handler,
                                                       EventRegistrationToken* cookie) override {
        return m_Enumerated.Add(handler, cookie, ++m_NextToken);
    }
    HRESULT STDMETHODCALLTYPE remove_EnumerationCompleted(EventRegistrationToken cookie) override {
        return m_Enumerated.Remove(cookie);
    }
    HRESULT STDMETHODCALLTYPE add_Stopped(ITypedEventHandler_Watcher_Object* handler,
                                          EventRegistrationToken* cookie) override {
        return m_Stopped.Add(handler, cookie, ++m_NextToken);
    }
    HRESULT STDMETHODCALLTYPE remove_Stopped(EventRegistrationToken cookie) override { return m_Stopped.Remove(cookie); }
    HRESULT STDMETHODCALLTYPE get_Status(MobileBroadbandAccountWatcherStatus* status) override {
        if (status == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        *status = m_Status;
        return S_OK;
    }

    // Enumerates the present accounts on the event thread and returns once the enumeration
    // is over (or, when scripted never to complete, after a short wait), so the status read
    // right after Start shows how it went.
    HRESULT STDMETHODCALLTYPE Start() override {
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (m_Status == MobileBroadbandAccountWatcherStatus_Started ||
            m_Status == MobileBroadbandAccountWatcherStatus_EnumerationCompleted) {
            return kIllegalStateChange;
        }
        std::istringstream reply(EmuRequest("rt watcher start"));
        std::string ok;
        std::string mode;
        uint64_t sequence = 0;
        reply >> ok >> mode >> sequence;
        if (ok != "ok") {
            mode = "complete";  // no emulator: a machine without accounts
        }
        std::vector<std::wstring> accounts;
        for (std::string id; reply >> id;) {
            accounts.push_back(Widen(id));
        }
        m_Status = MobileBroadbandAccountWatcherStatus_Started;
        m_Enumerating = true;
        ++m_Generation;
        AddRef();  // held by the event thread
        StartDetachedThread(L"emu-rt-watcher", [this, mode, sequence, accounts, generation = m_Generation] {
            Run(mode, sequence, accounts, generation);
        });
        m_Changed.wait_for(lock, std::chrono::milliseconds(kEnumerationWaitMs), [this] { return !m_Enumerating; });
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Stop() override {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Status != MobileBroadbandAccountWatcherStatus_Started &&
                m_Status != MobileBroadbandAccountWatcherStatus_EnumerationCompleted) {
                return kIllegalStateChange;
            }
            m_Status = MobileBroadbandAccountWatcherStatus_Stopped;
            ++m_Generation;  // ends the event thread
        }
        EmuRequest("rt watcher stop");
        m_Stopped.Raise(static_cast<IMobileBroadbandAccountWatcher*>(this), static_cast<IInspectable*>(nullptr));
        return S_OK;
    }

private:
    bool IsCurrent(uint64_t generation) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return generation == m_Generation;
    }

    void EndEnumeration(MobileBroadbandAccountWatcherStatus status) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Status = status;
        m_Enumerating = false;
        m_Changed.notify_all();
    }

    void Raise(const std::string& kind, const std::wstring& id, bool device, bool network) {
        auto* self = static_cast<IMobileBroadbandAccountWatcher*>(this);
        if (kind == "updated") {
            ComPtr<AccountUpdatedEventArgs> args(new AccountUpdatedEventArgs(id, device, network));
            m_Updated.Raise(self, static_cast<IMobileBroadbandAccountUpdatedEventArgs*>(args.Get()));
            return;
        }
        ComPtr<AccountEventArgs> args(new AccountEventArgs(id));
        (kind == "added" ? m_Added : m_Removed).Raise(self, static_cast<IMobileBroadbandAccountEventArgs*>(args.Get()));
    }

    void Run(std::string mode, uint64_t sequence, std::vector<std::wstring> accounts, uint64_t generation) {
        auto* self = static_cast<IMobileBroadbandAccountWatcher*>(this);
        for (const std::wstring& id : accounts) {
            Raise("added", id, false, false);
        }
        if (mode == "complete") {
            EndEnumeration(MobileBroadbandAccountWatcherStatus_EnumerationCompleted);
            m_Enumerated.Raise(self, static_cast<IInspectable*>(nullptr));
        } else if (mode == "abort") {
            EndEnumeration(MobileBroadbandAccountWatcherStatus_Aborted);
            m_Stopped.Raise(self, static_cast<IInspectable*>(nullptr));
            Release();
            return;
        } else {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Enumerating = false;  // Start returns; the status stays Started
            m_Changed.notify_all();
        }
        FollowEmuEvents(
            sequence, [this, generation] { return IsCurrent(generation); },
            [this](const EmuEvent& event) {
                if (event.Kind == "added" || event.Kind == "updated" || event.Kind == "removed") {
                    Raise(event.Kind, Widen(event.Subject), event.Device, event.Network);
                }
            });
        Release();
    }

    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    MobileBroadbandAccountWatcherStatus m_Status = MobileBroadbandAccountWatcherStatus_Created;
    bool m_Enumerating = false;
    uint64_t m_Generation = 0;
    std::atomic<int64_t> m_NextToken{0};
    HandlerList<ITypedEventHandler_Watcher_AccountEventArgs> m_Added;
    HandlerList<ITypedEventHandler_Watcher_AccountUpdatedEventArgs> m_Updated;
    HandlerList<ITypedEventHandler_Watcher_AccountEventArgs> m_Removed;
    HandlerList<ITypedEventHandler_Watcher_Object> m_Enumerated;
    HandlerList<ITypedEventHandler_Watcher_Object> m_Stopped;
};

class AccountWatcherFactory final : public RuntimeObject<AccountWatcherFactory, IActivationFactory> {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Networking.NetworkOperators.MobileBroadbandAccountWatcher";
    void* Find(REFIID iid) { return iid == __uuidof(IActivationFactory) ? static_cast<IActivationFactory*>(this) : nullptr; }
    HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override {
        if (instance == nullptr) {
            return E_POINTER;
        }
        *instance = static_cast<IMobileBroadbandAccountWatcher*>(new AccountWatcher());
        return S_OK;
    }
};

}  // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI DllGetActivationFactory(HSTRING classId, IActivationFactory** factory) {
    if (factory == nullptr) {
        return E_POINTER;
    }
    *factory = nullptr;
    const std::wstring name = WindowsGetStringRawBuffer(classId, nullptr);
    const char* kind = name == RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandModem         ? "modem"
                       : name == RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandAccountWatcher ? "watcher"
                                                                                                            : "buffer";
    // An activation may fail for a moment (a busy broker, a service starting): as scripted.
    const std::string reply = EmuRequest(std::string("rt activate ") + kind);
    if (reply.rfind("ok fail ", 0) == 0) {
        return static_cast<HRESULT>(std::stoul(reply.substr(8), nullptr, 16));
    }
    if (name == RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandModem) {
        *factory = new ModemStatics();
    } else if (name == RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandAccountWatcher) {
        *factory = new AccountWatcherFactory();
    } else if (name == RuntimeClass_Windows_Security_Cryptography_CryptographicBuffer) {
        *factory = static_cast<IActivationFactory*>(new CryptographicBufferStatics());
    } else {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return S_OK;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow() {
    return g_Objects == 0 && g_Factories == 0 ? S_OK : S_FALSE;
}

// The facade's objects alive now, activation factories aside, for tests that a client
// releases what it took.
extern "C" __declspec(dllexport) long WINAPI QuarnEmuLiveObjects() { return g_Objects.load(); }

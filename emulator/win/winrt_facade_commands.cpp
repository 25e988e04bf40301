// The Runtime facade's device service: command sessions, set commands and their asynchronous results.
#include "emulator/win/winrt_facade_internal.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

#include "emulator/model/modem_model.h"
#include "emulator/win/detached_thread.h"
#include "emulator/win/emu_channel.h"

using namespace QuarnWinRT;

namespace WinRTFacade {

namespace {

constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000E);
constexpr HRESULT kIllegalDelegateAssignment = static_cast<HRESULT>(0x80000018);

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
                                : NewByteBuffer(reinterpret_cast<const BYTE*>(m_Response.data()),
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
    uint64_t RaisedEvent = 0;  // completes only once the account update it raised was delivered
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
        } else if (flag.rfind("update=", 0) == 0) {
            plan.RaisedEvent = std::stoull(value);
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
        if (plan.RaisedEvent != 0) {
            // The account update the command raised reaches the handlers, on the watcher's
            // thread, while the command is still under way.
            WaitAccountEventsRaised(plan.RaisedEvent, 5000);
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
        // As scripted: refused, nothing reaches the modem.
        if (HRESULT scripted = S_OK; ScriptedFailure(reply, &scripted)) {
            return scripted;
        }
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
        if (HRESULT scripted = S_OK; ScriptedFailure(reply, &scripted)) {
            return scripted;
        }
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

}  // namespace

IMobileBroadbandDeviceService* NewDeviceService(const GUID& id) { return new DeviceService(id); }

}  // namespace WinRTFacade

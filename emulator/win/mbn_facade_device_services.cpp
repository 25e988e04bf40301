// The Mobile Broadband facade's device services: their requests and the delivery of their completions.
#include "emulator/win/mbn_facade_internal.h"

#include <deque>
#include <memory>

#include "emulator/model/modem_model.h"
#include "emulator/win/detached_thread.h"
#include "emulator/win/emu_channel.h"

namespace MbnFacade {

namespace {

constexpr ULONG kMaxCommandSize = 4096;
constexpr DWORD kEarlyWaitMs = 300;
constexpr char kEarlyStale[] = "early-stale-";  // the timing "early-stale-N"

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
    bool ForeignAfter = false;  // a failed completion of another kind follows at once
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
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
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
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
        }
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
        const ULONG id = RequestIdFor(g_NextRequestId++);
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
        if (timing == "early" || timing == "early-foreign") {
            DeliverEarly(completion);
            if (timing == "early-foreign") {
                // Then another request's completion (one that timed out, or another client's).
                completion.RequestId += 1000;
                AddRef();
                DeliverEarly(completion);
            }
        } else if (timing.rfind(kEarlyStale, 0) == 0) {
            // Then the late completions of the requests issued just before this one.
            const ULONG stale = std::stoul(timing.substr(sizeof(kEarlyStale) - 1));
            const ULONG own = completion.RequestId;
            DeliverEarly(completion);
            for (ULONG k = 1; k <= stale; ++k) {
                completion.RequestId = own - k;
                AddRef();
                DeliverEarly(completion);
            }
        } else if (timing == "late-foreign") {
            completion.ForeignAfter = true;
            CompletionWorker::Instance().Post(std::move(completion));
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

    // Delivered before this call returns, as far as a client lets it: the wait ends after a
    // while if the client's sink waits for this call (for its own lock).
    static void DeliverEarly(Completion completion) {
        const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        completion.Delivered = std::shared_ptr<void>(done, CloseHandle);
        StartDetachedThread(L"emu-mbn-early", [completion] { Deliver(completion); });
        WaitForSingleObject(done, kEarlyWaitMs);
    }
    // The facade's own count, unless the model numbers the requests ("mbn fault requestids").
    static ULONG RequestIdFor(ULONG proposed) {
        const std::vector<std::string> reply = Words(EmuRequest("mbn rt requestid " + std::to_string(proposed)));
        return IsOk(reply) && reply.size() == 2 ? std::stoul(reply[1]) : proposed;
    }

    const std::string m_InterfaceId;
    const std::string m_ServiceId;
};

const char* OtherKind(const std::string& kind) {
    return kind == "open" ? "close" : kind == "close" ? "open" : kind == "set" ? "query" : "set";
}

void Journal(const Completion& completion) {
    DeviceService* service = completion.Service;
    EmuRequest("mbn rt complete " + completion.Kind + " " + service->InterfaceId() + " " + service->ServiceId() + " " +
               std::to_string(completion.RequestId) + " " + HexResult(completion.Status));
}

void DeliverToSinks(const Completion& completion) {
    DeviceService* service = completion.Service;
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
}

// Runs on a facade thread; joins the multithreaded apartment for the delivery.
void Deliver(const Completion& completion) {
    const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Journal(completion);
    if (completion.ForeignAfter) {
        // A failed completion of the sibling kind, with the same request ID and no data,
        // delivered straight after the call's own: both are journaled first, so that nothing
        // stands between the two deliveries while the caller wakes up to read its result.
        Completion foreign;
        foreign.Kind = OtherKind(completion.Kind);
        foreign.Service = completion.Service;
        foreign.CommandId = completion.CommandId;
        foreign.Status = E_FAIL;
        foreign.RequestId = completion.RequestId;
        Journal(foreign);
        DeliverToSinks(completion);
        DeliverToSinks(foreign);
    } else {
        DeliverToSinks(completion);
    }
    completion.Service->Release();
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
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
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
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
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
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
        }
        return FindPoint(this, {&kDeviceServicesEvents}, iid, point);
    }
};

}  // namespace

IMbnDeviceService* NewDeviceService(std::string interfaceId, std::string serviceId) {
    return new DeviceService(std::move(interfaceId), std::move(serviceId));
}
IMbnDeviceServicesManager* NewDeviceServicesManager() { return new DeviceServicesManager(); }

}  // namespace MbnFacade

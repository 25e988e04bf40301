// Device-service command sessions: open, close, set and query, each issued to the API and
// completed by the sink, which stores the status and response before it signals. Each runs
// as one operation; no lock is held while it calls the API or waits.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>

#include "common/win/com_ptr.h"
#include "mbnapi/mbn_exports.h"
#include "mbnapi/win/mbn_module.h"
#include "trace/trace.h"

using namespace QuarnMbn;

namespace {

// A request call succeeded when it returned S_OK or E_PENDING; other success codes end the
// operation without a wait.
bool RequestIssued(HRESULT hr) { return hr == S_OK || hr == E_PENDING; }

HRESULT WaitResult(DWORD wait) { return HRESULT_FROM_WIN32(wait); }

// The command bytes as the API takes them; destroyed once the request has been issued.
class CommandData {
public:
    CommandData() = default;
    ~CommandData() {
        if (m_Array != nullptr) {
            SafeArrayDestroy(m_Array);
        }
    }
    CommandData(const CommandData&) = delete;
    CommandData& operator=(const CommandData&) = delete;

    bool Create(ULONG size) {
        SAFEARRAYBOUND bound{size, 0};
        m_Array = SafeArrayCreate(VT_UI1, 1, &bound);
        return m_Array != nullptr;
    }
    bool Put(ULONG index, BYTE* value) {
        LONG at = static_cast<LONG>(index);
        return SUCCEEDED(SafeArrayPutElement(m_Array, &at, value));
    }
    SAFEARRAY* Get() const { return m_Array; }

private:
    SAFEARRAY* m_Array = nullptr;
};

HRESULT GetService(const wchar_t* deviceServiceID, ComPtr<IMbnDeviceService>* service) {
    BSTR id = SysAllocString(deviceServiceID);
    const HRESULT hr = g_MbnDeviceServicesContext->GetDeviceService(id, service->Put());
    SysFreeString(id);
    return hr;
}

// The request's completion event, created when a disconnection closed it. Only the operation
// closes events, so the handle stays valid while it uses it.
HANDLE EnsureEvent(HANDLE& event) {
    CreateGlobalEvent();
    StateGuard guard;
    return event;
}

// Before the request call: nothing pending, no response, and the call marked as running, so
// completions that come before the call returns are kept aside rather than lost.
void BeginRequest(RequestExchange& exchange) {
    StateGuard guard;
    if (exchange.ResponseSize != nullptr) {
        *exchange.ResponseSize = 0;
    }
    *exchange.RequestID = 0;
    exchange.Phase = RequestPhase::Calling;
    for (EarlyCompletion& early : exchange.Early) {
        early.Valid = false;
    }
}

// After the request call. A completion of this request that came during the call is taken
// now (and its event signalled); otherwise the request ID is stored for the sink to match.
void EndRequestCall(RequestExchange& exchange, bool issued, ULONG requestID, HANDLE completed) {
    StateGuard guard;
    exchange.Phase = RequestPhase::None;
    for (EarlyCompletion& early : exchange.Early) {
        if (issued && early.Valid && early.RequestID == requestID && exchange.Phase != RequestPhase::Completed) {
            if (exchange.Response != nullptr) {
                std::memcpy(exchange.Response, early.Data, early.Size);
                *exchange.ResponseSize = early.Size;
            }
            exchange.Status = early.Status;
            exchange.Phase = RequestPhase::Completed;
            SetEvent(completed);
        }
        early.Valid = false;
    }
    if (!issued) {
        return;
    }
    *exchange.RequestID = requestID;
    ForgetAbandoned(exchange, requestID);
    if (exchange.Phase != RequestPhase::Completed) {
        exchange.Phase = RequestPhase::Waiting;
    }
}

// The wait is over, by a signal or not: nothing is awaited any more, and a completion that
// still comes for this ID is an abandoned request's. Gives the awaited completion's status
// (S_OK when none came) and, on success, its response.
HRESULT FinishRequest(RequestExchange& exchange, ULONG* size, BYTE* response) {
    StateGuard guard;
    const bool completed = exchange.Phase == RequestPhase::Completed;
    RememberAbandoned(exchange, *exchange.RequestID);
    *exchange.RequestID = 0;
    exchange.Phase = RequestPhase::None;
    if (!completed) {
        return S_OK;
    }
    const HRESULT status = exchange.Status;
    if (SUCCEEDED(status) && exchange.Response != nullptr) {
        if (size != nullptr) {
            *size = *exchange.ResponseSize;
        }
        if (response != nullptr && *exchange.ResponseSize > 0) {
            std::memcpy(response, exchange.Response, *exchange.ResponseSize);
        }
    }
    return status;
}

void RecordOpenSession(const wchar_t* deviceServiceID) {
    for (CommandSessionEntry& entry : g_SessionTable) {
        if (!entry.bInUse) {
            CopyIdentifier(entry.deviceServiceID, deviceServiceID);
            entry.bInUse = 1;
            entry.bSessionOpen = 1;
            return;
        }
    }
}

}  // namespace

namespace MbnWrapper {

HRESULT OpenCommandSession(wchar_t* deviceServiceID) {
    OperationScope operation;
    if (g_MbnDeviceServicesContext == nullptr) {
        LOG_INFO("[INFO] OpenCommandSession : g_MbnDeviceServicesContext is NULL\n");
        return MBN_RESULT_NOT_AVAILABLE;
    }
    if (deviceServiceID == nullptr) {
        return E_POINTER;
    }
    ComPtr<IMbnDeviceService> service;
    HRESULT hr = GetService(deviceServiceID, &service);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] OpenCommandSession : GetDeviceService FAILED: 0x%X\n", static_cast<unsigned>(hr));
        return hr;
    }
    if (!service) {
        LOG_INFO("[INFO] OpenCommandSession : pMbnDeviceService is NULL\n");
        return MBN_RESULT_NOT_AVAILABLE;
    }
    BOOL isOpen = FALSE;
    hr = service->get_IsCommandSessionOpen(&isOpen);
    if (FAILED(hr) && hr != E_PENDING) {
        LOG_INFO("[INFO] OpenCommandSession : get_IsCommandSessionOpen FAILED: 0x%X\n",
                 static_cast<unsigned>(GetLastError()));
        return hr;
    }
    if (isOpen) {
        return hr;
    }
    HANDLE completed = EnsureEvent(g_hOpenSessionEvent);
    ResetEvent(completed);
    BeginRequest(g_OpenExchange);
    ULONG requestID = 0;
    hr = service->OpenCommandSession(&requestID);
    EndRequestCall(g_OpenExchange, RequestIssued(hr), requestID, completed);
    if (FAILED(hr) && hr != E_PENDING) {
        LOG_INFO("[INFO] OpenCommandSession : OpenCommandSession FAILED: 0x%X\n", static_cast<unsigned>(GetLastError()));
        return hr;
    }
    HRESULT result = hr;
    if (RequestIssued(hr)) {
        LOG_INFO("[INFO] OpenCommandSession : OpenCommandSession call successful... waiting for callback\n");
        const DWORD wait = WaitForCompletion(completed, MBN_COMPLETION_TIMEOUT_MS);
        const HRESULT status = FinishRequest(g_OpenExchange, nullptr, nullptr);
        if (wait != WAIT_OBJECT_0) {
            result = WaitResult(wait);
        } else {
            result = status;
            if (FAILED(result)) {
                LOG_INFO("[INFO] OpenCommandSession : OpenCommandSession callback FAILED: 0x%X\n",
                         static_cast<unsigned>(result));
                return result;
            }
            RecordOpenSession(deviceServiceID);
        }
    }
    LOG_INFO("[INFO] OpenCommandSession : OpenCommandSession result: 0x%X\n", static_cast<unsigned>(result));
    return result;
}

BOOL CloseCommandSession(wchar_t* deviceServiceID) {
    OperationScope operation;
    if (g_MbnDeviceServicesContext == nullptr || deviceServiceID == nullptr) {
        return FALSE;
    }
    ComPtr<IMbnDeviceService> service;
    HRESULT hr = GetService(deviceServiceID, &service);
    if (FAILED(hr) || !service) {
        LOG_INFO("[INFO] CloseCommandSession : GetDeviceService FAILED\n");
        return FALSE;
    }
    // Starts TRUE: an E_PENDING answer that leaves it untouched counts as open.
    BOOL isOpen = TRUE;
    const HRESULT stateResult = service->get_IsCommandSessionOpen(&isOpen);
    if (FAILED(stateResult) && stateResult != E_PENDING) {
        LOG_INFO("[INFO] CloseCommandSession : get_IsCommandSessionOpen FAILED\n");
        return FALSE;
    }
    const BOOL answer = stateResult == S_OK ? TRUE : FALSE;
    if (!isOpen) {
        return answer;
    }
    HANDLE completed = EnsureEvent(g_hCloseSessionEvent);
    ResetEvent(completed);
    BeginRequest(g_CloseExchange);
    ULONG requestID = 0;
    hr = service->CloseCommandSession(&requestID);
    EndRequestCall(g_CloseExchange, RequestIssued(hr), requestID, completed);
    if (FAILED(hr) && hr != E_PENDING) {
        LOG_INFO("[INFO] CloseCommandSession : CloseCommandSession call Failed\n");
        return FALSE;
    }
    if (!RequestIssued(hr)) {
        return answer;
    }
    LOG_INFO("[INFO] CloseCommandSession : CloseCommandSession call successful... waiting for callback\n");
    const DWORD wait = WaitForCompletion(completed, MBN_COMPLETION_TIMEOUT_MS);
    const HRESULT status = FinishRequest(g_CloseExchange, nullptr, nullptr);
    if (wait != WAIT_OBJECT_0) {
        return FALSE;
    }
    if (FAILED(status)) {
        LOG_INFO("[INFO] CloseCommandSession : CloseCommandSession callback FAILED: 0x%X\n",
                 static_cast<unsigned>(status));
        return FALSE;
    }
    // The record of this open session: an earlier record of the same service that was
    // closed already must not take the clearing and leave this one marked open.
    for (CommandSessionEntry& entry : g_SessionTable) {
        if (entry.bInUse && entry.bSessionOpen && wcscmp(entry.deviceServiceID, deviceServiceID) == 0) {
            entry.bSessionOpen = 0;
            break;
        }
    }
    return answer;
}

HRESULT SetCommand(wchar_t*, wchar_t* deviceServiceID, ULONG commandID, ULONG commandDataSize, BYTE* pCommandData,
                   ULONG* pResponseDataSize, BYTE* pResponseData, ULONG timeout) {
    OperationScope operation;
    HRESULT hr = OpenCommandSession(deviceServiceID);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] SetCommand : OpenCommandSession FAILED: 0x%X\n", static_cast<unsigned>(GetLastError()));
        return MBN_RESULT_NOT_AVAILABLE;
    }
    if (g_MbnDeviceServicesContext == nullptr) {
        LOG_INFO("[INFO] SetCommand : g_MbnDeviceServicesContext is NULL\n");
        return MBN_RESULT_NOT_AVAILABLE;
    }
    ComPtr<IMbnDeviceService> service;
    hr = GetService(deviceServiceID, &service);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] SetCommand : GetDeviceService FAILED: 0x%X\n", static_cast<unsigned>(GetLastError()));
        return hr;
    }
    CommandData commandData;
    if (commandDataSize > 0) {
        if (pCommandData == nullptr) {
            return E_POINTER;
        }
        if (!commandData.Create(commandDataSize)) {
            LOG_INFO("[INFO] SetCommand : psaCommandData is NULL\n");
            return E_OUTOFMEMORY;
        }
        std::fputs("\t Command Data=\n", stdout);
        for (ULONG i = 0; i < commandDataSize; ++i) {
            if (!commandData.Put(i, &pCommandData[i])) {
                std::fflush(stdout);
                LOG_INFO("[INFO] SetCommand : SafeArrayPutElement FAILED\n");
                return E_OUTOFMEMORY;
            }
            std::printf("%02X ", pCommandData[i]);
        }
        std::fflush(stdout);
    }
    if (!service) {
        {
            StateGuard guard;
            g_SetResponseSize = 0;
        }
        LOG_INFO("[INFO] SetCommand : pMbnDeviceService is NULL\n");
        return MBN_RESULT_NOT_AVAILABLE;
    }
    RequestExchange& exchange = g_SetExchange;
    HANDLE completed = EnsureEvent(g_hSetCommandEvent);
    ResetEvent(completed);
    BeginRequest(exchange);
    ULONG requestID = 0;
    hr = service->SetCommand(commandID, commandData.Get(), &requestID);
    EndRequestCall(exchange, RequestIssued(hr), requestID, completed);
    if (FAILED(hr) && hr != E_PENDING) {
        LOG_INFO("[INFO] SetCommand : SetCommand call FAILED\n");
        return hr;
    }
    if (!RequestIssued(hr)) {
        return hr;
    }
    LOG_INFO("[INFO] SetCommand : SetCommand call successful... waiting for callback -> requestID=%d, timeout=%d\n",
             static_cast<int>(requestID), static_cast<int>(timeout));
    const DWORD wait = WaitForCompletion(completed, timeout);
    if (wait != WAIT_OBJECT_0) {
        FinishRequest(exchange, nullptr, nullptr);
        hr = WaitResult(wait);
        LOG_INFO("[INFO] SetCommand : SetCommand WaitForSingleObject FAILED: 0x%X\n", static_cast<unsigned>(hr));
        return hr;
    }
    const HRESULT status = FinishRequest(exchange, pResponseDataSize, pResponseData);
    if (FAILED(status)) {
        LOG_INFO("[INFO] SetCommand : SetCommand callback FAILED: 0x%X\n", static_cast<unsigned>(status));
        return status;
    }
    LOG_INFO("[INFO] SetCommand : SetCommand callback OK.\n");
    return status;
}

HRESULT QueryCommand(wchar_t*, wchar_t* deviceServiceID, ULONG commandID, ULONG commandDataSize, BYTE* pCommandData,
                     ULONG* pResponseDataSize, BYTE* pResponseData) {
    OperationScope operation;
    LOG_INFO("[INFO] QueryCommand : ++\n");
    HRESULT result = S_OK;
    ComPtr<IMbnDeviceService> service;
    CommandData commandData;
    do {
        if (FAILED(OpenCommandSession(deviceServiceID))) {
            LOG_INFO("[INFO] QueryCommand : OpenCommandSession FAILED: 0x%X\n", static_cast<unsigned>(GetLastError()));
            result = MBN_RESULT_NOT_AVAILABLE;
            break;
        }
        if (g_MbnDeviceServicesContext == nullptr) {
            LOG_INFO("[INFO] QueryCommand :  g_MbnDeviceServicesContext is NULL.\n");
            result = MBN_RESULT_NOT_AVAILABLE;
            break;
        }
        LOG_INFO("[INFO] QueryCommand : deviceServiceID: %ls.\n", deviceServiceID);
        result = GetService(deviceServiceID, &service);
        if (FAILED(result)) {
            LOG_INFO("[INFO] QueryCommand : g_MbnDeviceServicesContext->GetDeviceService Failed.0x%X\n",
                     static_cast<unsigned>(GetLastError()));
            break;
        }
        if (!service) {
            result = MBN_RESULT_NOT_AVAILABLE;
            break;
        }
        if (pCommandData == nullptr) {
            LOG_INFO("[INFO] QueryCommand : pCommandData = NULL\n");
        }
        if (pResponseData == nullptr) {
            LOG_INFO("[INFO] QueryCommand : pResponseData = NULL\n");
        }
        if (commandDataSize > 0) {
            if (pCommandData == nullptr) {
                result = E_POINTER;
                break;
            }
            if (!commandData.Create(commandDataSize)) {
                LOG_INFO("[INFO] QueryCommand : psaCommandData == NULL\n");
                result = E_OUTOFMEMORY;
                break;
            }
            for (ULONG i = 0; i < commandDataSize; ++i) {
                if (!commandData.Put(i, &pCommandData[i])) {
                    return E_OUTOFMEMORY;
                }
            }
        }
        RequestExchange& exchange = g_QueryExchange;
        HANDLE completed = EnsureEvent(g_hQueryCommandEvent);
        BeginRequest(exchange);
        ResetEvent(completed);
        ULONG requestID = 0;
        result = service->QueryCommand(commandID, commandData.Get(), &requestID);
        EndRequestCall(exchange, RequestIssued(result), requestID, completed);
        if (FAILED(result) && result != E_PENDING) {
            LOG_INFO("[INFO] QueryCommand : QueryCommand call FAILED: 0x%X\n", static_cast<unsigned>(result));
            break;
        }
        if (!RequestIssued(result)) {
            break;
        }
        LOG_INFO("[INFO] QueryCommand : QueryCommand call successful... waiting for callback -> requestID=%d\n",
                 static_cast<int>(requestID));
        const DWORD wait = WaitForCompletion(completed, MBN_COMPLETION_TIMEOUT_MS);
        if (wait != WAIT_OBJECT_0) {
            FinishRequest(exchange, nullptr, nullptr);
            result = WaitResult(wait);
            break;
        }
        result = FinishRequest(exchange, pResponseDataSize, pResponseData);
        if (FAILED(result)) {
            LOG_INFO("[INFO] QueryCommand : QueryCommand callback FAILED: 0x%X\n", static_cast<unsigned>(result));
            break;
        }
    } while (false);
    LOG_INFO("[INFO] QueryCommand : --\n");
    return result;
}

}  // namespace MbnWrapper

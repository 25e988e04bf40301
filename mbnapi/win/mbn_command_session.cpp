// Device-service command sessions: open, close, set and query, each issued to the API and
// completed by the sink, which stores the status and response before it signals.
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

HANDLE EnsureEvent(HANDLE& event) {
    if (event == nullptr) {
        CreateGlobalEvent();
    }
    return event;
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
    ModuleGuard guard;
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
    ULONG requestID = 0;
    hr = service->OpenCommandSession(&requestID);
    if (FAILED(hr) && hr != E_PENDING) {
        LOG_INFO("[INFO] OpenCommandSession : OpenCommandSession FAILED: 0x%X\n", static_cast<unsigned>(GetLastError()));
        return hr;
    }
    HRESULT result = hr;
    if (RequestIssued(hr)) {
        LOG_INFO("[INFO] OpenCommandSession : OpenCommandSession call successful... waiting for callback\n");
        const DWORD wait = WaitForCompletion(completed, MBN_COMPLETION_TIMEOUT_MS);
        if (wait != WAIT_OBJECT_0) {
            result = WaitResult(wait);
        } else {
            result = g_CallbackStatus;
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
    ModuleGuard guard;
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
    ULONG requestID = 0;
    hr = service->CloseCommandSession(&requestID);
    if (FAILED(hr) && hr != E_PENDING) {
        LOG_INFO("[INFO] CloseCommandSession : CloseCommandSession call Failed\n");
        return FALSE;
    }
    if (!RequestIssued(hr)) {
        return answer;
    }
    LOG_INFO("[INFO] CloseCommandSession : CloseCommandSession call successful... waiting for callback\n");
    if (WaitForCompletion(completed, MBN_COMPLETION_TIMEOUT_MS) != WAIT_OBJECT_0) {
        return FALSE;
    }
    if (FAILED(g_CallbackStatus)) {
        LOG_INFO("[INFO] CloseCommandSession : CloseCommandSession callback FAILED: 0x%X\n",
                 static_cast<unsigned>(g_CallbackStatus));
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
    ModuleGuard guard;
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
    g_SetResponseSize = 0;
    if (!service) {
        LOG_INFO("[INFO] SetCommand : pMbnDeviceService is NULL\n");
        return MBN_RESULT_NOT_AVAILABLE;
    }
    // The module lock is held from here until the wait: a completion arriving on another
    // thread before the request ID is stored waits for it, and is matched instead of lost.
    HANDLE completed = EnsureEvent(g_hSetCommandEvent);
    ResetEvent(completed);
    ULONG requestID = 0;
    hr = service->SetCommand(commandID, commandData.Get(), &requestID);
    g_SetRequestID = 0;
    if (FAILED(hr) && hr != E_PENDING) {
        LOG_INFO("[INFO] SetCommand : SetCommand call FAILED\n");
        return hr;
    }
    if (!RequestIssued(hr)) {
        return hr;
    }
    g_SetRequestID = requestID;
    LOG_INFO("[INFO] SetCommand : SetCommand call successful... waiting for callback -> requestID=%d, timeout=%d\n",
             static_cast<int>(requestID), static_cast<int>(timeout));
    const DWORD wait = WaitForCompletion(completed, timeout);
    g_SetRequestID = 0;
    if (wait != WAIT_OBJECT_0) {
        hr = WaitResult(wait);
        LOG_INFO("[INFO] SetCommand : SetCommand WaitForSingleObject FAILED: 0x%X\n", static_cast<unsigned>(hr));
        return hr;
    }
    if (FAILED(g_CallbackStatus)) {
        LOG_INFO("[INFO] SetCommand : SetCommand callback FAILED: 0x%X\n", static_cast<unsigned>(g_CallbackStatus));
        return g_CallbackStatus;
    }
    if (pResponseDataSize != nullptr) {
        *pResponseDataSize = g_SetResponseSize;
    }
    if (pResponseData != nullptr && g_SetResponseSize > 0) {
        std::memcpy(pResponseData, g_SetResponseData, g_SetResponseSize);
    }
    LOG_INFO("[INFO] SetCommand : SetCommand callback OK.\n");
    return g_CallbackStatus;
}

HRESULT QueryCommand(wchar_t*, wchar_t* deviceServiceID, ULONG commandID, ULONG commandDataSize, BYTE* pCommandData,
                     ULONG* pResponseDataSize, BYTE* pResponseData) {
    ModuleGuard guard;
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
        g_QueryResponseSize = 0;
        g_QueryRequestID = 0;
        HANDLE completed = EnsureEvent(g_hQueryCommandEvent);
        ResetEvent(completed);
        ULONG requestID = 0;
        result = service->QueryCommand(commandID, commandData.Get(), &requestID);
        if (FAILED(result) && result != E_PENDING) {
            LOG_INFO("[INFO] QueryCommand : QueryCommand call FAILED: 0x%X\n", static_cast<unsigned>(result));
            break;
        }
        if (!RequestIssued(result)) {
            break;
        }
        g_QueryRequestID = requestID;
        LOG_INFO("[INFO] QueryCommand : QueryCommand call successful... waiting for callback -> requestID=%d\n",
                 static_cast<int>(requestID));
        const DWORD wait = WaitForCompletion(completed, MBN_COMPLETION_TIMEOUT_MS);
        g_QueryRequestID = 0;
        if (wait != WAIT_OBJECT_0) {
            result = WaitResult(wait);
            break;
        }
        result = g_CallbackStatus;
        if (FAILED(result)) {
            LOG_INFO("[INFO] QueryCommand : QueryCommand callback FAILED: 0x%X\n", static_cast<unsigned>(result));
            break;
        }
        if (pResponseData != nullptr && g_QueryResponseSize > 0) {
            std::memcpy(pResponseData, g_QueryResponseData, g_QueryResponseSize);
        }
        if (pResponseDataSize != nullptr) {
            *pResponseDataSize = g_QueryResponseSize;
        }
    } while (false);
    LOG_INFO("[INFO] QueryCommand : --\n");
    return result;
}

}  // namespace MbnWrapper

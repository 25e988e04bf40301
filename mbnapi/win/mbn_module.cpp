#include "mbnapi/win/mbn_module.h"

#include <oleauto.h>

#include <cwchar>
#include <utility>

#include "mbnapi/element_copy.h"
#include "mbnapi/win/mbn_sinks.h"

using namespace QuarnMbn;

BOOL bInitialied = FALSE;
BOOL bInterfaceConnected = FALSE;
CMbnSinks* g_CMbnSinks = nullptr;
SimStatusRequests* g_SimStatusRequests = nullptr;

IMbnInterfaceManager* g_InterfaceMgr = nullptr;
IMbnConnectionManager* g_MbnConnectionMgr = nullptr;
IMbnConnectionProfileManager* g_MbnConnectionProfileMgr = nullptr;
IMbnDeviceServicesManager* g_MbnDeviceServicesManager = nullptr;
IMbnDeviceServicesContext* g_MbnDeviceServicesContext = nullptr;
IMbnInterface* g_MbnInterface = nullptr;
IMbnSignal* g_MbnSignal = nullptr;
IMbnRegistration* g_MbnRegistration = nullptr;
IMbnRadio* g_MbnRadio = nullptr;
IMbnConnection* g_MbnConnection = nullptr;
wchar_t g_InterfaceID[MBN_ID_CHARS] = {};
CommandSessionEntry g_SessionTable[SESSION_TABLE_SIZE] = {};

HANDLE g_hOpenSessionEvent = nullptr;
HANDLE g_hCloseSessionEvent = nullptr;
HANDLE g_hSetCommandEvent = nullptr;
HANDLE g_hQueryCommandEvent = nullptr;

HRESULT g_CallbackStatus = S_OK;
IMbnDeviceService* g_CallbackDeviceService = nullptr;
ULONG g_SetRequestID = 0;
ULONG g_QueryRequestID = 0;
BYTE g_SetResponseData[MBN_RESPONSE_BUFFER_SIZE] = {};
BYTE g_QueryResponseData[MBN_RESPONSE_BUFFER_SIZE] = {};
ULONG g_SetResponseSize = 0;
ULONG g_QueryResponseSize = 0;
ULONG g_SupportedCommandIDs[MBN_SUPPORTED_COMMANDS_SIZE] = {};
MBN_READY_STATE g_ReadyState = MBN_READY_STATE_OFF;

IConnectionPoint* pInterfaceManagerEventsConnectionPoint = nullptr;
IConnectionPoint* pInterfaceEventsConnectionPoint = nullptr;
IConnectionPoint* pRegistrationEventsConnectionPoint = nullptr;
IConnectionPoint* pSignalEventsConnectionPoint = nullptr;
IConnectionPoint* pRadioEventsConnectionPoint = nullptr;
IConnectionPoint* pConnectionManagerEventsConnectionPoint = nullptr;
IConnectionPoint* pConnectionEventsConnectionPoint = nullptr;
IConnectionPoint* pDeviceServiceEventsConnectionPoint = nullptr;
DWORD dwInterfaceManagerEventsCookie = 0;
DWORD dwInterfaceEventsCookie = 0;
DWORD dwRegistrationEventsCookie = 0;
DWORD dwSignalEventsCookie = 0;
DWORD dwRadioEventsCookie = 0;
DWORD dwConnectionManagerEventsCookie = 0;
DWORD dwConnectionEventsCookie = 0;
DWORD dwDeviceServiceEventsCookie = 0;

namespace {

// Open and close carry no response; their pending IDs are the module's own.
ULONG g_OpenRequestID = 0;
ULONG g_CloseRequestID = 0;

}  // namespace

RequestExchange g_OpenExchange = {&g_OpenRequestID, nullptr, nullptr, RequestPhase::None, S_OK, {}, 0, {}, 0};
RequestExchange g_CloseExchange = {&g_CloseRequestID, nullptr, nullptr, RequestPhase::None, S_OK, {}, 0, {}, 0};
RequestExchange g_SetExchange = {&g_SetRequestID, g_SetResponseData, &g_SetResponseSize, RequestPhase::None, S_OK, {}, 0,
                                 {}, 0};
RequestExchange g_QueryExchange = {&g_QueryRequestID, g_QueryResponseData, &g_QueryResponseSize, RequestPhase::None,
                                   S_OK, {}, 0, {}, 0};

namespace {

SRWLOCK g_StateLock = SRWLOCK_INIT;

// The gate's own bookkeeping, under its SRWLOCK; a condition variable lets operations wait.
SRWLOCK g_GateLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_GateFree = CONDITION_VARIABLE_INIT;
DWORD g_GateOwner = 0;
unsigned g_GateDepth = 0;
bool g_ArrivalPending = false;
bool g_RemovalPending = false;

// The queued interface work, removal first: an arrival's detection then sees what is there.
// Runs with the gate held and none of the locks.
void RunPendingInterfaceWork() {
    AcquireSRWLockExclusive(&g_GateLock);
    const bool removal = std::exchange(g_RemovalPending, false);
    const bool arrival = std::exchange(g_ArrivalPending, false);
    ReleaseSRWLockExclusive(&g_GateLock);
    CMbnSinks* sink = nullptr;
    {
        StateGuard guard;
        sink = g_CMbnSinks;
    }
    if (sink == nullptr) {
        return;  // shut down meanwhile: nothing to connect or disconnect
    }
    if (removal) {
        sink->RunInterfaceHandler(FALSE);
    }
    if (arrival) {
        sink->RunInterfaceHandler(TRUE);
        ConnectMBIMInterface();
    }
}

// Lets the gate go, after running what notifications queued while it was held. Called by
// the owner with no operation open.
void LeaveGate() {
    for (;;) {
        AcquireSRWLockExclusive(&g_GateLock);
        if (!g_ArrivalPending && !g_RemovalPending) {
            g_GateOwner = 0;
            ReleaseSRWLockExclusive(&g_GateLock);
            WakeAllConditionVariable(&g_GateFree);
            return;
        }
        g_GateDepth = 1;  // the work's own operations nest inside it
        ReleaseSRWLockExclusive(&g_GateLock);
        RunPendingInterfaceWork();
        AcquireSRWLockExclusive(&g_GateLock);
        g_GateDepth = 0;
        ReleaseSRWLockExclusive(&g_GateLock);
    }
}

}  // namespace

StateGuard::StateGuard() { AcquireSRWLockExclusive(&g_StateLock); }

StateGuard::~StateGuard() {
    ReleaseSRWLockExclusive(&g_StateLock);
    for (int i = 0; i < m_Count; ++i) {
        m_Releases[i]->Release();
    }
}

void StateGuard::ReleaseLater(IUnknown* object) {
    if (m_Count == kReleases) {
        // More than any one step stores; released at once rather than never.
        ReleaseSRWLockExclusive(&g_StateLock);
        object->Release();
        AcquireSRWLockExclusive(&g_StateLock);
        return;
    }
    m_Releases[m_Count++] = object;
}

OperationScope::OperationScope() {
    const DWORD self = GetCurrentThreadId();
    AcquireSRWLockExclusive(&g_GateLock);
    if (g_GateOwner == self) {
        ++g_GateDepth;
    } else {
        while (g_GateOwner != 0) {
            SleepConditionVariableSRW(&g_GateFree, &g_GateLock, INFINITE, 0);
        }
        g_GateOwner = self;
        g_GateDepth = 1;
    }
    ReleaseSRWLockExclusive(&g_GateLock);
}

OperationScope::~OperationScope() {
    AcquireSRWLockExclusive(&g_GateLock);
    const bool last = --g_GateDepth == 0;
    ReleaseSRWLockExclusive(&g_GateLock);
    if (last) {
        LeaveGate();
    }
}

void PostInterfaceChange(bool arrived) {
    AcquireSRWLockExclusive(&g_GateLock);
    (arrived ? g_ArrivalPending : g_RemovalPending) = true;
    if (g_GateOwner != 0) {
        ReleaseSRWLockExclusive(&g_GateLock);
        return;  // the running operation runs it before it ends
    }
    g_GateOwner = GetCurrentThreadId();
    g_GateDepth = 0;
    ReleaseSRWLockExclusive(&g_GateLock);
    LeaveGate();
}

DWORD WaitForCompletion(HANDLE event, DWORD timeoutMs) {
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &own, SYNCHRONIZE, FALSE, 0)) {
        return WAIT_FAILED;
    }
    const DWORD result = WaitForSingleObject(own, timeoutMs);
    CloseHandle(own);
    return result;
}

void AttachMbnSimStatusRequests(SimStatusRequests* requests) {
    StateGuard guard;
    g_SimStatusRequests = requests;
}

void CopyIdentifier(wchar_t (&target)[MBN_ID_CHARS], const wchar_t* source) {
    if (source == nullptr) {
        target[0] = L'\0';
        return;
    }
    wcsncpy(target, source, MBN_ID_CHARS - 1);
    target[MBN_ID_CHARS - 1] = L'\0';
}

template <typename T>
bool CopySafeArrayElements(SAFEARRAY* array, T* buffer, ULONG capacity, ULONG* count) {
    *count = 0;
    LONG lower = 0;
    LONG upper = 0;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) {
        return false;
    }
    if (SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != sizeof(T)) {
        return true;
    }
    auto read = [array](int32_t index, T* element) {
        LONG at = index;
        return SUCCEEDED(SafeArrayGetElement(array, &at, element));
    };
    *count = CopyReadableElements(lower, upper, read, buffer, capacity);
    return true;
}

template bool CopySafeArrayElements<BYTE>(SAFEARRAY*, BYTE*, ULONG, ULONG*);
template bool CopySafeArrayElements<ULONG>(SAFEARRAY*, ULONG*, ULONG, ULONG*);

namespace {

// A completion's response bytes; a NULL array, or one whose bounds cannot be read, is none.
void StoreResponse(SAFEARRAY* data, BYTE* buffer, ULONG* size) {
    ULONG copied = 0;
    if (data != nullptr && !CopySafeArrayElements<BYTE>(data, buffer, MBN_RESPONSE_BUFFER_SIZE, &copied)) {
        copied = 0;
    }
    *size = copied;
}

bool IsAbandoned(const RequestExchange& exchange, ULONG requestID) {
    const ULONG held = exchange.AbandonedCount < MBN_ABANDONED_IDS ? exchange.AbandonedCount : MBN_ABANDONED_IDS;
    for (ULONG i = 0; i < held; ++i) {
        if (exchange.Abandoned[i] == requestID) {
            return true;
        }
    }
    return false;
}

// Keeps a completion that came during the request call: in the slot of its own ID, else a
// free one, else the one of an abandoned request that came first, else, unless it is itself
// an abandoned request's (then it is dropped), the one that came first.
void KeepEarly(RequestExchange& exchange, ULONG requestID, HRESULT status, SAFEARRAY* data) {
    EarlyCompletion* slot = nullptr;
    EarlyCompletion* free = nullptr;
    EarlyCompletion* abandoned = nullptr;
    EarlyCompletion* oldest = nullptr;
    for (EarlyCompletion& candidate : exchange.Early) {
        if (!candidate.Valid) {
            free = free != nullptr ? free : &candidate;
        } else if (candidate.RequestID == requestID) {
            slot = &candidate;
            break;
        } else if (IsAbandoned(exchange, candidate.RequestID)) {
            abandoned = abandoned == nullptr || candidate.Arrival < abandoned->Arrival ? &candidate : abandoned;
        } else {
            oldest = oldest == nullptr || candidate.Arrival < oldest->Arrival ? &candidate : oldest;
        }
    }
    if (slot == nullptr) {
        slot = free != nullptr ? free : abandoned;
    }
    if (slot == nullptr) {
        if (IsAbandoned(exchange, requestID)) {
            return;
        }
        slot = oldest;
    }
    slot->Valid = true;
    slot->RequestID = requestID;
    slot->Status = status;
    slot->Arrival = ++exchange.Arrivals;
    slot->Size = 0;
    if (exchange.Response != nullptr) {
        StoreResponse(data, slot->Data, &slot->Size);
    }
}

}  // namespace

bool CompleteRequest(RequestExchange& exchange, ULONG requestID, HRESULT status, SAFEARRAY* data) {
    if (exchange.Phase == RequestPhase::Waiting && requestID == *exchange.RequestID) {
        exchange.Status = status;
        if (exchange.Response != nullptr) {
            StoreResponse(data, exchange.Response, exchange.ResponseSize);
        }
        exchange.Phase = RequestPhase::Completed;
        return true;
    }
    if (exchange.Phase == RequestPhase::Calling) {
        KeepEarly(exchange, requestID, status, data);
    }
    return false;
}

void RememberAbandoned(RequestExchange& exchange, ULONG requestID) {
    if (!IsAbandoned(exchange, requestID)) {
        exchange.Abandoned[exchange.AbandonedCount++ % MBN_ABANDONED_IDS] = requestID;
    }
}

void ForgetAbandoned(RequestExchange& exchange, ULONG requestID) {
    const ULONG held = exchange.AbandonedCount < MBN_ABANDONED_IDS ? exchange.AbandonedCount : MBN_ABANDONED_IDS;
    for (ULONG i = 0; i < held; ++i) {
        if (exchange.Abandoned[i] == requestID) {
            exchange.Abandoned[i] = exchange.Abandoned[(exchange.AbandonedCount - 1) % MBN_ABANDONED_IDS];
            --exchange.AbandonedCount;
            return;
        }
    }
}

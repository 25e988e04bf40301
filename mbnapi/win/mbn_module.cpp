#include "mbnapi/win/mbn_module.h"

#include <oleauto.h>

#include <cwchar>

#include "mbnapi/element_copy.h"

using namespace QuarnMbn;

ModuleLock g_ModuleLock;

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

void ModuleLock::Enter() {
    const DWORD self = GetCurrentThreadId();
    if (m_Owner.load(std::memory_order_relaxed) == self) {
        ++m_Depth;
        return;
    }
    AcquireSRWLockExclusive(&m_Lock);
    m_Owner.store(self, std::memory_order_relaxed);
    m_Depth = 1;
}

void ModuleLock::Leave() {
    if (--m_Depth == 0) {
        m_Owner.store(0, std::memory_order_relaxed);
        ReleaseSRWLockExclusive(&m_Lock);
    }
}

unsigned ModuleLock::LeaveForWait() {
    if (m_Owner.load(std::memory_order_relaxed) != GetCurrentThreadId()) {
        return 0;
    }
    const unsigned depth = m_Depth;
    m_Depth = 0;
    m_Owner.store(0, std::memory_order_relaxed);
    ReleaseSRWLockExclusive(&m_Lock);
    return depth;
}

void ModuleLock::EnterAfterWait(unsigned depth) {
    if (depth == 0) {
        return;
    }
    AcquireSRWLockExclusive(&m_Lock);
    m_Owner.store(GetCurrentThreadId(), std::memory_order_relaxed);
    m_Depth = depth;
}

DWORD WaitForCompletion(HANDLE event, DWORD timeoutMs) {
    // A removal may close the module's handle while this thread waits: wait on our own.
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &own, SYNCHRONIZE, FALSE, 0)) {
        return WAIT_FAILED;
    }
    const unsigned depth = g_ModuleLock.LeaveForWait();
    const DWORD result = WaitForSingleObject(own, timeoutMs);
    g_ModuleLock.EnterAfterWait(depth);
    CloseHandle(own);
    return result;
}

void AttachMbnSimStatusRequests(SimStatusRequests* requests) {
    ModuleGuard guard;
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

// Module state of the Mobile Broadband wrapper, shared by discovery and connection, the
// command sessions, the event sink and the state queries; and the one lock that serialises
// outside callers of the exports against the notification threads.
//
// Everything here is constant-initialised: the exports run in processes that load the
// executable as a library, where no start-up code (and no dynamic initialisation) runs.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <atomic>

#include "compat/mbn_api.h"
#include "mbnapi/mbn_exports.h"

class CMbnSinks;
class SimStatusRequests;

constexpr int SESSION_TABLE_SIZE = 32;
constexpr ULONG MBN_RESPONSE_BUFFER_SIZE = 4096;
constexpr ULONG MBN_SUPPORTED_COMMANDS_SIZE = 4096;
constexpr DWORD MBN_COMPLETION_TIMEOUT_MS = 3000;
constexpr size_t MBN_ID_CHARS = 64;  // 63 characters and the terminator

struct CommandSessionEntry {
    wchar_t deviceServiceID[MBN_ID_CHARS];
    LONG bInUse;
    LONG bSessionOpen;
};

// Recursive, so that a notification that connects (arrival) or an export that opens its own
// session (set, query) can call other locked operations. Built on SRWLOCK, which needs no
// initialisation call.
class ModuleLock {
public:
    constexpr ModuleLock() = default;
    void Enter();
    void Leave();
    // Leaves completely for a wait on a completion event (the sink needs the lock to store
    // the completion), and enters again as deep as before.
    unsigned LeaveForWait();
    void EnterAfterWait(unsigned depth);

private:
    SRWLOCK m_Lock = SRWLOCK_INIT;
    std::atomic<DWORD> m_Owner{0};
    unsigned m_Depth = 0;
};

extern ModuleLock g_ModuleLock;

class ModuleGuard {
public:
    ModuleGuard() { g_ModuleLock.Enter(); }
    ~ModuleGuard() { g_ModuleLock.Leave(); }
    ModuleGuard(const ModuleGuard&) = delete;
    ModuleGuard& operator=(const ModuleGuard&) = delete;
};

// Waits on a completion event with the module lock released.
DWORD WaitForCompletion(HANDLE event, DWORD timeoutMs);

extern BOOL bInitialied;
extern BOOL bInterfaceConnected;
extern CMbnSinks* g_CMbnSinks;
extern SimStatusRequests* g_SimStatusRequests;

extern QuarnMbn::IMbnInterfaceManager* g_InterfaceMgr;
extern QuarnMbn::IMbnConnectionManager* g_MbnConnectionMgr;
extern QuarnMbn::IMbnConnectionProfileManager* g_MbnConnectionProfileMgr;
extern QuarnMbn::IMbnDeviceServicesManager* g_MbnDeviceServicesManager;
extern QuarnMbn::IMbnDeviceServicesContext* g_MbnDeviceServicesContext;
extern QuarnMbn::IMbnInterface* g_MbnInterface;
extern QuarnMbn::IMbnSignal* g_MbnSignal;
extern QuarnMbn::IMbnRegistration* g_MbnRegistration;
extern QuarnMbn::IMbnRadio* g_MbnRadio;
extern QuarnMbn::IMbnConnection* g_MbnConnection;
extern wchar_t g_InterfaceID[MBN_ID_CHARS];
extern CommandSessionEntry g_SessionTable[SESSION_TABLE_SIZE];

extern HANDLE g_hOpenSessionEvent;
extern HANDLE g_hCloseSessionEvent;
extern HANDLE g_hSetCommandEvent;
extern HANDLE g_hQueryCommandEvent;

extern HRESULT g_CallbackStatus;
extern QuarnMbn::IMbnDeviceService* g_CallbackDeviceService;
extern ULONG g_SetRequestID;
extern ULONG g_QueryRequestID;
extern BYTE g_SetResponseData[MBN_RESPONSE_BUFFER_SIZE];
extern BYTE g_QueryResponseData[MBN_RESPONSE_BUFFER_SIZE];
extern ULONG g_SetResponseSize;
extern ULONG g_QueryResponseSize;
extern ULONG g_SupportedCommandIDs[MBN_SUPPORTED_COMMANDS_SIZE];
extern QuarnMbn::MBN_READY_STATE g_ReadyState;

extern IConnectionPoint* pInterfaceManagerEventsConnectionPoint;
extern IConnectionPoint* pInterfaceEventsConnectionPoint;
extern IConnectionPoint* pRegistrationEventsConnectionPoint;
extern IConnectionPoint* pSignalEventsConnectionPoint;
extern IConnectionPoint* pRadioEventsConnectionPoint;
extern IConnectionPoint* pConnectionManagerEventsConnectionPoint;
extern IConnectionPoint* pConnectionEventsConnectionPoint;
extern IConnectionPoint* pDeviceServiceEventsConnectionPoint;
extern DWORD dwInterfaceManagerEventsCookie;
extern DWORD dwInterfaceEventsCookie;
extern DWORD dwRegistrationEventsCookie;
extern DWORD dwSignalEventsCookie;
extern DWORD dwRadioEventsCookie;
extern DWORD dwConnectionManagerEventsCookie;
extern DWORD dwConnectionEventsCookie;
extern DWORD dwDeviceServiceEventsCookie;

// Storing a reference: the slot holds its own reference to `object` (or NULL) and drops the
// one it held, unless it already holds `object`.
template <typename T>
void StoreReference(T*& slot, T* object) {
    if (slot == object) {
        return;
    }
    if (object != nullptr) {
        object->AddRef();
    }
    T* previous = slot;
    slot = object;
    if (previous != nullptr) {
        previous->Release();
    }
}

template <typename T>
void ClearReference(T*& slot) {
    StoreReference<T>(slot, nullptr);
}

// The exported operations themselves; the exports (mbn_exports.cpp) prepare the image and
// call these, and so does the module.
namespace MbnWrapper {
HRESULT EnumInterface(LONG* count, _MBIMIDS ids[]);
HRESULT ConnectInterface(wchar_t* interfaceID);
HRESULT DisconnectInterface();
HRESULT OpenCommandSession(wchar_t* deviceServiceID);
BOOL CloseCommandSession(wchar_t* deviceServiceID);
HRESULT SetCommand(wchar_t* reservedID, wchar_t* deviceServiceID, ULONG commandID, ULONG commandDataSize,
                   BYTE* pCommandData, ULONG* pResponseDataSize, BYTE* pResponseData, ULONG timeout);
HRESULT QueryCommand(wchar_t* reservedID, wchar_t* deviceServiceID, ULONG commandID, ULONG commandDataSize,
                     BYTE* pCommandData, ULONG* pResponseDataSize, BYTE* pResponseData);
HRESULT GetRadioState(wchar_t* interfaceID, QuarnMbn::MBN_RADIO* softwareState, QuarnMbn::MBN_RADIO* hardwareState);
HRESULT GetConnectionState(wchar_t* interfaceID, QuarnMbn::MBN_ACTIVATION_STATE* state);
HRESULT GetRegisterState(wchar_t* reservedID, QuarnMbn::MBN_REGISTER_STATE* state);
}  // namespace MbnWrapper

// Internal operations of discovery and connection.
HRESULT DetectMbInterface();
HRESULT ConnectMBIMInterface();
HRESULT CreateGlobalEvent();
void CleanUpAllEvents();
void CleanUpGlobalValues();
HRESULT InterfaceAddRemoveEventCallback(QuarnMbn::IMbnInterface* mbnInterface, BOOL arrived);
HRESULT InterfaceCopyArray(GUID** array, SAFEARRAY* interfaces, ULONG* count);

// Copies at most 63 characters and a terminator.
void CopyIdentifier(wchar_t (&target)[MBN_ID_CHARS], const wchar_t* source);

// The elements of a one-dimensional SAFEARRAY whose elements are exactly T-sized, into
// `buffer` (at most `capacity`); false when its bounds cannot be read. An array of another
// shape or element size gives no element: reading it element by element would write past T.
template <typename T>
bool CopySafeArrayElements(SAFEARRAY* array, T* buffer, ULONG capacity, ULONG* count);

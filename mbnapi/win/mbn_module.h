// Module state of the Mobile Broadband wrapper, shared by discovery and connection, the
// command sessions, the event sink and the state queries, and the two means by which outside
// callers, start-up and shut-down and the notification threads share it.
//
// Everything here is constant-initialised: the exports run in processes that load the
// executable as a library, where no start-up code (and no dynamic initialisation) runs.
//
// Who touches what: the managers, the device-services context, the connection points and
// their cookies, the interface ID, the session table and the two flags belong to the
// operation that holds the gate; everything the sink's handlers touch is read and written
// under the state lock. The state queries wait on no operation: the references an operation
// owns are replaced under the state lock as well (Publish), so they take their own there.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <atomic>
#include <utility>

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

// The module's locking, whose one rule is that nothing of it is held across a call into the
// API. The API may deliver a notification on another thread while a call into it runs and
// wait for that delivery before it returns, and a connection point's Unadvise may wait for
// the notifications in progress: a lock held across such a call that a sink handler needs
// would never be let go.
//
// The state lock guards the module variables that notifications touch (the interface
// references the sink refreshes, the status slot, request IDs, responses, the events and
// the sink itself). It is held for a few statements at a time; references it lets go are
// released after it is left.
class StateGuard {
public:
    StateGuard();
    ~StateGuard();
    StateGuard(const StateGuard&) = delete;
    StateGuard& operator=(const StateGuard&) = delete;
    // Released once the lock is left (a release may run the object's own code).
    void ReleaseLater(IUnknown* object);

private:
    static constexpr int kReleases = 8;
    IUnknown* m_Releases[kReleases] = {};
    int m_Count = 0;
};

// The operation gate lets one operation at a time work on the module: an export, start-up,
// shut-down, or the connection work that an interface's arrival or removal asks for. It is
// held across calls into the API, but no notification ever waits for it: an arrival or
// removal that comes while an operation runs is queued, and the operation runs it before it
// lets the gate go. Operations nest on one thread (a set opens its session).
class OperationScope {
public:
    OperationScope();
    ~OperationScope();
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;
};

// From the sink: asks for the work of an interface's arrival (detect and connect) or
// removal (invalidate the sessions and disconnect). Runs it at once, on the calling thread,
// when no operation runs; otherwise the running operation runs it when it ends.
void PostInterfaceChange(bool arrived);

// Waits on a completion event, on a handle of its own (a removal may close the module's).
DWORD WaitForCompletion(HANDLE event, DWORD timeoutMs);

// Where a request of one kind stands, for the sink: no request; its request call running,
// the ID not known yet; the ID known (any value, 0 too) and the completion awaited; or its
// completion taken, for the caller to read.
enum class RequestPhase { None, Calling, Waiting, Completed };

// A completion that came before its request call returned, so before the request ID was
// known: kept until the caller, holding that ID, takes it.
struct EarlyCompletion {
    bool Valid;
    ULONG RequestID;
    HRESULT Status;
    ULONG Size;
    ULONG Arrival;
    BYTE Data[MBN_RESPONSE_BUFFER_SIZE];
};

constexpr int MBN_EARLY_COMPLETIONS = 4;
constexpr int MBN_ABANDONED_IDS = 16;

// One kind of request (open, close, set or query) and what its completions leave for it.
// The status of the awaited completion travels here, not through the shared status slot,
// which any completion of any kind overwrites between the signal and the caller's reading.
// The completions that come during the request call are kept by ID: the call's own may be
// followed by others (of a request that timed out, or another client's). IDs whose wait has
// ended (timed out or completed) are remembered, so that their late completions give way
// first and never push out the one the call is about to claim. Under the state lock.
struct RequestExchange {
    ULONG* RequestID;     // the awaited ID, while Waiting (g_SetRequestID for a set)
    BYTE* Response;       // set and query: the response buffer, else NULL
    ULONG* ResponseSize;
    RequestPhase Phase;
    HRESULT Status;       // the awaited completion's, once Completed
    EarlyCompletion Early[MBN_EARLY_COMPLETIONS];
    ULONG Arrivals;
    ULONG Abandoned[MBN_ABANDONED_IDS];
    ULONG AbandonedCount;  // how many are recorded; past MBN_ABANDONED_IDS the newest overwrite the oldest
};

// The sink's part, under the state lock: true when this is the awaited completion, whose
// event the sink then signals. One that comes during the request call is kept aside.
bool CompleteRequest(RequestExchange& exchange, ULONG requestID, HRESULT status, SAFEARRAY* data);
// The caller's part, under the state lock: an ID whose wait has ended, and an ID that the API
// has just handed out again (so it is no longer one of an abandoned request).
void RememberAbandoned(RequestExchange& exchange, ULONG requestID);
void ForgetAbandoned(RequestExchange& exchange, ULONG requestID);

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
extern RequestExchange g_OpenExchange;
extern RequestExchange g_CloseExchange;
extern RequestExchange g_SetExchange;
extern RequestExchange g_QueryExchange;
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

// Storing a reference under the state lock: the slot holds its own reference to `object`
// (or NULL); the one it held is released when the guard lets the lock go.
template <typename T>
void StoreReference(StateGuard& guard, T*& slot, T* object) {
    if (slot == object) {
        return;
    }
    if (object != nullptr) {
        object->AddRef();
    }
    T* previous = slot;
    slot = object;
    if (previous != nullptr) {
        guard.ReleaseLater(previous);
    }
}

template <typename T>
void ClearReference(StateGuard& guard, T*& slot) {
    StoreReference<T>(guard, slot, nullptr);
}

// A reference of the caller's own to what `slot` holds now; the caller holds the state lock.
template <typename T>
T* TakeReferenceLocked(T* const& slot) {
    if (slot != nullptr) {
        slot->AddRef();
    }
    return slot;
}

// The same, taking the state lock for it.
template <typename T>
T* TakeReference(T* const& slot) {
    StateGuard guard;
    return TakeReferenceLocked(slot);
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

// Internal operations of discovery and connection; they run inside an operation.
HRESULT DetectMbInterface();
HRESULT ConnectMBIMInterface();
HRESULT ConnectInterfaceInOperation(wchar_t* interfaceID);
HRESULT CreateGlobalEvent();
void CleanUpAllEvents();
void CleanUpGlobalValues();
// The interface-level references the sink stores, the status slot and the callback's device
// service: released and cleared, without a trace line.
void ReleaseSinkReferences();
HRESULT InterfaceAddRemoveEventCallback(QuarnMbn::IMbnInterface* mbnInterface, BOOL arrived);
HRESULT InterfaceCopyArray(GUID** array, SAFEARRAY* interfaces, ULONG* count);
// EnumInterface with room for `capacity` records: identifiers past it are not written.
HRESULT EnumInterfaceRecords(LONG* count, _MBIMIDS ids[], ULONG capacity);
// An outside caller that loaded the exports never ran start-up: the objects and the sink
// that a connection needs.
void PrepareForOutsideCaller();
// An object of the mobile broadband service answered that the service is gone
// (RPC_S_SERVER_UNAVAILABLE, RPC_E_DISCONNECTED): it restarted or stopped.
bool IsServiceGone(HRESULT hr);
// Drops every object of the gone service, its subscriptions and sessions, and makes the
// managers again (with the interface-manager subscription once the module started).
HRESULT RenewObjectsOfGoneService();
// The same when the device-services context answers so for `deviceServiceID`: a set whose
// session could not be opened says only 50, whatever the cause.
void RenewObjectsIfServiceGone(const wchar_t* deviceServiceID);
// Puts `object`, a reference handed over, into a module reference that the operation owns;
// the one held before is released once the state lock is left.
template <typename T>
void Publish(T*& slot, T* object) {
    T* previous = nullptr;
    {
        StateGuard guard;
        previous = std::exchange(slot, object);
    }
    if (previous != nullptr) {
        previous->Release();
    }
}
// Creates one of the API's objects into a module reference that the operation owns (NULL
// when the creation fails).
template <typename T>
HRESULT CreateInto(T*& slot, REFCLSID clsid) {
    Publish<T>(slot, nullptr);
    T* created = nullptr;
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, __uuidof(T), reinterpret_cast<void**>(&created));
    Publish(slot, created);
    return hr;
}
// Ends one subscription of the sink, if made; `result` (optional) gets Unadvise's result.
void EndSubscription(IConnectionPoint*& point, DWORD& cookie, HRESULT* result);
// Releases a module reference that the operation owns.
template <typename T>
void ReleaseOwned(T*& slot) {
    Publish<T>(slot, nullptr);
}

// Copies at most 63 characters and a terminator.
void CopyIdentifier(wchar_t (&target)[MBN_ID_CHARS], const wchar_t* source);

// The elements of a one-dimensional SAFEARRAY whose elements are exactly T-sized, into
// `buffer` (at most `capacity`); false when its bounds cannot be read. An array of another
// shape or element size gives no element: reading it element by element would write past T.
template <typename T>
bool CopySafeArrayElements(SAFEARRAY* array, T* buffer, ULONG capacity, ULONG* count);

// The connection to an interface: the sink's seven subscriptions, the device-services
// context and the interface-level references, and their undoing.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <utility>

#include "common/win/com_ptr.h"
#include "mbnapi/mbn_exports.h"
#include "mbnapi/win/mbn_module.h"
#include "mbnapi/win/mbn_sinks.h"
#include "trace/trace.h"

using namespace QuarnMbn;

namespace {

// A wide string as the BSTR that marshaled calls need; frees itself.
class BstrCopy {
public:
    explicit BstrCopy(const wchar_t* text) : m_Value(SysAllocString(text)) {}
    ~BstrCopy() { SysFreeString(m_Value); }
    BstrCopy(const BstrCopy&) = delete;
    BstrCopy& operator=(const BstrCopy&) = delete;
    BSTR Get() const { return m_Value; }

private:
    BSTR m_Value;
};

// One subscription of the sink; a message of nullptr means the failure is not logged.
struct SubscriptionRow {
    const IID* EventInterface;
    IConnectionPoint** Point;
    DWORD* Cookie;
    const char* FindFailed;
    const char* SinkQueryFailed;
    bool SinkQueryIgnored;
    const char* PointNull;
    const char* AdviseFailed;
};

const SubscriptionRow kInterfaceManagerRows[] = {
    {&IID_IMbnInterfaceEvents, &pInterfaceEventsConnectionPoint, &dwInterfaceEventsCookie,
     "[INFO] ConnectInterface : IID_IMbnInterfaceEvents FindConnectionPoint FAILED: 0x%X\n",
     "[INFO] ConnectInterface : IID_IMbnInterfaceEvents QueryInterface FAILED: 0x%X\n", false,
     "[INFO] ConnectInterface :  pInterfaceEventsConnectionPoint is NULL\n",
     "[INFO] ConnectInterface : pInterfaceEventsConnectionPoint Advise FAILED: 0x%X\n"},
    {&IID_IMbnRegistrationEvents, &pRegistrationEventsConnectionPoint, &dwRegistrationEventsCookie, nullptr, nullptr,
     true, "[INFO] ConnectInterface :  pRegistrationEventsConnectionPoint is NULL\n", nullptr},
    {&IID_IMbnSignalEvents, &pSignalEventsConnectionPoint, &dwSignalEventsCookie, nullptr,
     "[INFO] ConnectInterface : IID_IMbnSignalEvents QueryInterface FAILED: 0x%X\n", false,
     "[INFO] ConnectInterface :  pSignalEventsConnectionPoint is NULL\n", nullptr},
    {&IID_IMbnRadioEvents, &pRadioEventsConnectionPoint, &dwRadioEventsCookie,
     "[INFO] ConnectInterface : IID_IMbnRadioEvents FindConnectionPoint FAILED: 0x%X\n",
     "[INFO] ConnectInterface : IID_IMbnRadioEvents QueryInterface FAILED: 0x%X\n", false,
     "[INFO] ConnectInterface :  pRadioEventsConnectionPoint is NULL\n",
     "[INFO] ConnectInterface : pRadioEventsConnectionPoint Advise FAILED: 0x%X\n"},
};

const SubscriptionRow kConnectionManagerRows[] = {
    {&IID_IMbnConnectionManagerEvents, &pConnectionManagerEventsConnectionPoint, &dwConnectionManagerEventsCookie,
     "[INFO] ConnectInterface : IID_IMbnConnectionManagerEvents FindConnectionPoint pcpc FAILED: 0x%X\n",
     "[INFO] ConnectInterface : IID_IMbnConnectionManagerEvents QueryInterface g_CMbnSinks FAILED: 0x%X\n", false,
     "[INFO] ConnectInterface :  pConnectionManagerEventsConnectionPoint is NULL\n",
     "[INFO] ConnectInterface : pConnectionManagerEventsConnectionPoint Advise FAILED: 0x%X\n"},
    {&IID_IMbnConnectionEvents, &pConnectionEventsConnectionPoint, &dwConnectionEventsCookie,
     "[INFO] ConnectInterface : IID_IMbnConnectionEvents FindConnectionPoint FAILED: 0x%X\n",
     "[INFO] ConnectInterface : IID_IMbnConnectionEvents QueryInterface g_CMbnSinks FAILED: 0x%X\n", false,
     "[INFO] ConnectInterface :  pConnectionEventsConnectionPoint is NULL\n",
     "[INFO] ConnectInterface : pConnectionEventsConnectionPoint Advise FAILED: 0x%X\n"},
};

const SubscriptionRow kDeviceServicesRows[] = {
    {&IID_IMbnDeviceServicesEvents, &pDeviceServiceEventsConnectionPoint, &dwDeviceServiceEventsCookie,
     "[INFO] ConnectInterface :  IID_IMbnDeviceServicesEvents FindConnectionPoint FAILED: 0x%X\n", nullptr, true,
     "[INFO] ConnectInterface :  pDeviceServiceEventsConnectionPoint is NULL\n",
     "[INFO] ConnectInterface :  pDeviceServiceEventsConnectionPoint Advise FAILED: 0x%X\n"},
};

// Queries `source` for T into a module reference that the sink also stores into.
template <typename T>
HRESULT QueryInto(IMbnInterface* source, T*& slot) {
    ComPtr<T> queried;
    const HRESULT hr = source->QueryInterface(__uuidof(T), reinterpret_cast<void**>(queried.Put()));
    StateGuard guard;
    StoreReference(guard, slot, queried.Get());
    return hr;
}

enum class RowOutcome { Subscribed, Stopped };

// Runs the rows of one source in order. On a stop, `*hr` is what ConnectInterface returns.
template <size_t N>
RowOutcome Subscribe(IConnectionPointContainer* pcpc, const SubscriptionRow (&rows)[N], HRESULT* hr) {
    for (const SubscriptionRow& row : rows) {
        if (pcpc == nullptr) {
            LOG_INFO("[INFO] ConnectInterface :  pcpc is NULL\n");
            return RowOutcome::Stopped;
        }
        // A subscription left by a connection that stopped part-way is ended, not leaked.
        EndSubscription(*row.Point, *row.Cookie, nullptr);
        *hr = pcpc->FindConnectionPoint(*row.EventInterface, row.Point);
        if (FAILED(*hr)) {
            if (row.FindFailed != nullptr) {
                LOG_INFO(row.FindFailed, static_cast<unsigned>(*hr));
            }
            return RowOutcome::Stopped;
        }
        if (g_CMbnSinks == nullptr) {
            LOG_INFO("[INFO] ConnectInterface :  g_CMbnSinks is NULL\n");
            return RowOutcome::Stopped;
        }
        ComPtr<IUnknown> sink;
        const HRESULT query = g_CMbnSinks->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(sink.Put()));
        if (!row.SinkQueryIgnored) {
            *hr = query;
            if (FAILED(query)) {
                if (row.SinkQueryFailed != nullptr) {
                    LOG_INFO(row.SinkQueryFailed, static_cast<unsigned>(query));
                }
                return RowOutcome::Stopped;
            }
        }
        if (*row.Point == nullptr) {
            LOG_INFO(row.PointNull);
            return RowOutcome::Stopped;
        }
        if (!sink) {
            *hr = E_POINTER;
            return RowOutcome::Stopped;
        }
        *hr = (*row.Point)->Advise(sink.Get(), row.Cookie);
        if (FAILED(*hr)) {
            if (row.AdviseFailed != nullptr) {
                LOG_INFO(row.AdviseFailed, static_cast<unsigned>(*hr));
            }
            return RowOutcome::Stopped;
        }
    }
    return RowOutcome::Subscribed;
}

}  // namespace

void EndSubscription(IConnectionPoint*& point, DWORD& cookie, HRESULT* result) {
    if (point == nullptr) {
        return;
    }
    const HRESULT hr = point->Unadvise(cookie);
    if (result != nullptr) {
        *result = hr;
    }
    ReleaseOwned(point);
    cookie = 0;
}

HRESULT ConnectInterfaceInOperation(wchar_t* interfaceID) {
    if (bInterfaceConnected) {
        LOG_INFO("[INFO] ConnectInterface : bInterfaceConnected is already TRUE\n");
        return S_OK;
    }
    if (interfaceID == nullptr) {
        return E_POINTER;
    }
    HRESULT hr = CreateGlobalEvent();
    if (FAILED(hr)) {
        LOG_INFO("[INFO] ConnectInterface : CreateGlobalEvent FAILED: 0x%X\n", static_cast<unsigned>(hr));
        return hr;
    }
    if (!bInitialied) {
        PrepareForOutsideCaller();
    }
    if (g_CMbnSinks == nullptr) {
        LOG_INFO("[INFO] ConnectInterface : g_CMbnSinks is FALSE\n");
    } else {
        Sleep(50);
        if (g_InterfaceMgr == nullptr) {
            LOG_INFO("[INFO] ConnectInterface :  g_InterfaceMgr is NULL\n");
            return hr;
        }
        {
            ComPtr<IConnectionPointContainer> pcpc;
            hr = g_InterfaceMgr->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(pcpc.Put()));
            if (FAILED(hr)) {
                LOG_INFO("[INFO] ConnectInterface : QueryInterface IID_IConnectionPointContainer FAILED: 0x%X\n",
                         static_cast<unsigned>(hr));
                return hr;
            }
            if (Subscribe(pcpc.Get(), kInterfaceManagerRows, &hr) == RowOutcome::Stopped) {
                return hr;
            }
        }
        if (g_MbnConnectionMgr == nullptr) {
            LOG_INFO("[INFO] ConnectInterface :  g_MbnConnectionMgr is NULL\n");
            return hr;
        }
        {
            ComPtr<IConnectionPointContainer> pcpc;
            hr = g_MbnConnectionMgr->QueryInterface(IID_IConnectionPointContainer,
                                                    reinterpret_cast<void**>(pcpc.Put()));
            if (FAILED(hr)) {
                LOG_INFO("[INFO] ConnectInterface : g_MbnConnectionMgr QueryInterface IID_IConnectionPointContainer "
                         "FAILED: 0x%X\n",
                         static_cast<unsigned>(hr));
                return hr;
            }
            if (Subscribe(pcpc.Get(), kConnectionManagerRows, &hr) == RowOutcome::Stopped) {
                return hr;
            }
        }
        if (g_MbnDeviceServicesManager == nullptr) {
            LOG_INFO("[INFO] ConnectInterface :  g_MbnDeviceServicesManager is NULL\n");
            return hr;
        }
        {
            ComPtr<IConnectionPointContainer> pcpc;
            hr = g_MbnDeviceServicesManager->QueryInterface(IID_IConnectionPointContainer,
                                                            reinterpret_cast<void**>(pcpc.Put()));
            if (FAILED(hr)) {
                LOG_INFO("[INFO] ConnectInterface : g_MbnDeviceServicesManager->QueryInterface FAILED: 0x%X\n",
                         static_cast<unsigned>(hr));
                return hr;
            }
            IMbnDeviceServicesContext* context = nullptr;
            const BstrCopy networkInterfaceID(interfaceID);
            hr = g_MbnDeviceServicesManager->GetDeviceServicesContext(networkInterfaceID.Get(), &context);
            if (FAILED(hr)) {
                LOG_INFO("[INFO] ConnectInterface : g_MbnDeviceServicesManager->GetDeviceServicesContext FAILED: "
                         "0x%X\n",
                         static_cast<unsigned>(hr));
                return hr;
            }
            ReleaseOwned(g_MbnDeviceServicesContext);
            g_MbnDeviceServicesContext = context;
            if (Subscribe(pcpc.Get(), kDeviceServicesRows, &hr) == RowOutcome::Stopped) {
                return hr;
            }
        }
    }

    // The interface held (the sink refreshes it) stays in use; otherwise the manager's.
    ComPtr<IMbnInterface> mbnInterface(TakeReference(g_MbnInterface));
    if (!mbnInterface) {
        if (g_InterfaceMgr == nullptr) {
            LOG_INFO("[INFO] ConnectInterface :  g_InterfaceMgr is NULL\n");
            return E_POINTER;
        }
        hr = g_InterfaceMgr->GetInterface(interfaceID, mbnInterface.Put());
        if (FAILED(hr)) {
            LOG_INFO("[INFO] ConnectInterface :  g_InterfaceMgr->GetInterface FAILED: %x\n",
                     static_cast<unsigned>(GetLastError()));
            return hr;
        }
        if (!mbnInterface) {
            LOG_INFO("[INFO] ConnectInterface :  g_MbnInterface is NULL\n");
            return hr;
        }
        StateGuard guard;
        if (g_MbnInterface == nullptr) {
            StoreReference(guard, g_MbnInterface, mbnInterface.Get());
        }
    }
    // Each query replaces its own reference (with NULL when it fails); those after a failed
    // one are not made, and what the sink stored in theirs stays.
    hr = QueryInto(mbnInterface.Get(), g_MbnSignal);
    if (SUCCEEDED(hr)) {
        hr = QueryInto(mbnInterface.Get(), g_MbnRegistration);
    }
    if (SUCCEEDED(hr)) {
        hr = QueryInto(mbnInterface.Get(), g_MbnRadio);
    }
    if (FAILED(hr)) {
        return hr;
    }
    bInterfaceConnected = TRUE;
    return S_OK;
}

HRESULT ConnectMBIMInterface() {
    OperationScope operation;
    LOG_INFO("[INFO] ConnectMBIMInterface : ++\n");
    if (DetectMbInterface() != S_OK) {
        LOG_INFO("[INFO] ConnectMBIMInterface : --\n");
        return E_FAIL;
    }
    return ConnectInterfaceInOperation(g_InterfaceID);
}

HRESULT CreateGlobalEvent() {
    StateGuard guard;
    for (HANDLE* event : {&g_hQueryCommandEvent, &g_hOpenSessionEvent, &g_hCloseSessionEvent, &g_hSetCommandEvent}) {
        if (*event == nullptr) {
            *event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            if (*event == nullptr) {
                return HRESULT_FROM_WIN32(GetLastError());
            }
        }
    }
    return S_OK;
}

namespace MbnWrapper {

HRESULT ConnectInterface(wchar_t* interfaceID) {
    OperationScope operation;
    HRESULT hr = ConnectInterfaceInOperation(interfaceID);
    // Managers kept from before a restart of the service: once with new ones.
    if (IsServiceGone(hr) && SUCCEEDED(RenewObjectsOfGoneService())) {
        hr = ConnectInterfaceInOperation(interfaceID);
    }
    return hr;
}

HRESULT DisconnectInterface() {
    OperationScope operation;
    LOG_INFO("[INFO] DisconnectInterface : DisconnectInterface()\n");
    HRESULT result = S_OK;
    EndSubscription(pDeviceServiceEventsConnectionPoint, dwDeviceServiceEventsCookie, &result);
    EndSubscription(pRegistrationEventsConnectionPoint, dwRegistrationEventsCookie, &result);
    EndSubscription(pRadioEventsConnectionPoint, dwRadioEventsCookie, &result);
    EndSubscription(pConnectionEventsConnectionPoint, dwConnectionEventsCookie, &result);
    EndSubscription(pConnectionManagerEventsConnectionPoint, dwConnectionManagerEventsCookie, &result);
    EndSubscription(pInterfaceEventsConnectionPoint, dwInterfaceEventsCookie, nullptr);
    EndSubscription(pSignalEventsConnectionPoint, dwSignalEventsCookie, &result);
    // The module took no reference on the sink for these subscriptions (the API holds its
    // own until Unadvise), so it releases none.
    CleanUpAllEvents();
    CleanUpGlobalValues();
    return result;
}

}  // namespace MbnWrapper

void CleanUpAllEvents() {
    LOG_INFO("[INFO] CleanUpAllEvents : CleanUpAllEvents()\n");
    // The query event stays for the life of the process.
    HANDLE closing[3] = {};
    {
        StateGuard guard;
        closing[0] = std::exchange(g_hOpenSessionEvent, nullptr);
        closing[1] = std::exchange(g_hCloseSessionEvent, nullptr);
        closing[2] = std::exchange(g_hSetCommandEvent, nullptr);
    }
    for (HANDLE event : closing) {
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
}

void CleanUpGlobalValues() {
    LOG_INFO("[INFO] CleanUpGlobalValues : CleanUpGlobalValues()\n");
    bInterfaceConnected = FALSE;
    ReleaseOwned(g_MbnDeviceServicesContext);
    ReleaseSinkReferences();
}

void ReleaseSinkReferences() {
    StateGuard guard;
    ClearReference(guard, g_MbnInterface);
    ClearReference(guard, g_MbnRadio);
    ClearReference(guard, g_MbnRegistration);
    ClearReference(guard, g_MbnSignal);
    ClearReference(guard, g_MbnConnection);
    g_CallbackStatus = S_OK;
    ClearReference(guard, g_CallbackDeviceService);
}

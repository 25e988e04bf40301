// Discovery of mobile-broadband interfaces, the connection to the first one with the sink's
// seven subscriptions, its undoing, and the module's start and end.
#include "mbnapi/mbn_interface.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <climits>

#include "common/win/com_ptr.h"
#include "mbnapi/element_copy.h"
#include "mbnapi/mbn_exports.h"
#include "mbnapi/win/mbn_module.h"
#include "mbnapi/win/mbn_sinks.h"
#include "trace/trace.h"

using namespace QuarnMbn;

namespace {

constexpr int DETECT_RECORDS = 32;

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

// Creates one of the API's objects into a module reference; a failed creation leaves it NULL.
template <typename T>
HRESULT CreateInto(T*& slot, REFCLSID clsid) {
    ClearReference(slot);
    return CoCreateInstance(clsid, nullptr, CLSCTX_ALL, __uuidof(T), reinterpret_cast<void**>(&slot));
}

void EndSubscription(IConnectionPoint*& point, DWORD& cookie, HRESULT* result) {
    if (point == nullptr) {
        return;
    }
    const HRESULT hr = point->Unadvise(cookie);
    if (result != nullptr) {
        *result = hr;
    }
    ClearReference(point);
    cookie = 0;
}

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

// EnumInterface with room for `capacity` records: identifiers past it are not written.
HRESULT EnumInterfaceRecords(LONG* count, _MBIMIDS ids[], ULONG capacity) {
    if (count == nullptr || ids == nullptr) {
        return E_POINTER;
    }
    *count = 0;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    IMbnInterfaceManager* created = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                  reinterpret_cast<void**>(&created));
    if ((FAILED(hr) && hr != RPC_E_CHANGED_MODE) || created == nullptr) {
        LOG_INFO("[INFO] EnumInterface : InitInterfaceMgr FAILED\n");
        return FAILED(hr) ? hr : E_POINTER;
    }
    // The manager replaced is released; a failed creation keeps the one held.
    ClearReference(g_InterfaceMgr);
    g_InterfaceMgr = created;

    SAFEARRAY* interfaces = nullptr;
    hr = g_InterfaceMgr->GetInterfaces(&interfaces);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] EnumInterface : GetInterfaces FAILED\n");
        return hr;
    }
    GUID* guids = nullptr;
    ULONG found = 0;
    hr = InterfaceCopyArray(&guids, interfaces, &found);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] EnumInterface : InterfaceCopyArray FAILED\n");
    } else {
        for (ULONG i = 0; i < found; ++i) {
            LPOLESTR text = nullptr;
            hr = StringFromIID(guids[i], &text);
            if (FAILED(hr)) {
                LOG_INFO("[INFO] EnumInterface : StringFromIID FAILED\n");
                break;
            }
            if (i < capacity) {
                CopyIdentifier(ids[i].szInterfaceID, text);
            }
            CoTaskMemFree(text);
        }
    }
    if (interfaces != nullptr) {
        SafeArrayDestroy(interfaces);
    }
    CoTaskMemFree(guids);
    if (hr == S_OK) {
        *count = static_cast<LONG>(found < capacity ? found : capacity);
    }
    return hr;
}

// An outside caller that loaded the exports never ran start-up: it gets the objects and the
// sink that a connection needs, or its command sessions could never complete.
void PrepareForOutsideCaller() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (g_CMbnSinks == nullptr) {
        g_CMbnSinks = CMbnSinks::Create();
    }
    if (g_InterfaceMgr == nullptr) {
        CreateInto(g_InterfaceMgr, CLSID_MbnInterfaceManager);
    }
    if (g_MbnConnectionMgr == nullptr) {
        CreateInto(g_MbnConnectionMgr, CLSID_MbnConnectionManager);
    }
    if (g_MbnDeviceServicesManager == nullptr) {
        CreateInto(g_MbnDeviceServicesManager, CLSID_MbnDeviceServicesManager);
    }
}

HRESULT ConnectInterfaceLocked(wchar_t* interfaceID) {
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
            ClearReference(g_MbnDeviceServicesContext);
            g_MbnDeviceServicesContext = context;
            if (Subscribe(pcpc.Get(), kDeviceServicesRows, &hr) == RowOutcome::Stopped) {
                return hr;
            }
        }
    }

    if (g_MbnInterface == nullptr) {
        if (g_InterfaceMgr == nullptr) {
            LOG_INFO("[INFO] ConnectInterface :  g_InterfaceMgr is NULL\n");
            return E_POINTER;
        }
        hr = g_InterfaceMgr->GetInterface(interfaceID, &g_MbnInterface);
        if (FAILED(hr)) {
            LOG_INFO("[INFO] ConnectInterface :  g_InterfaceMgr->GetInterface FAILED: %x\n",
                     static_cast<unsigned>(GetLastError()));
            return hr;
        }
        if (g_MbnInterface == nullptr) {
            LOG_INFO("[INFO] ConnectInterface :  g_MbnInterface is NULL\n");
            return hr;
        }
    }
    ClearReference(g_MbnSignal);
    hr = g_MbnInterface->QueryInterface(IID_IMbnSignal, reinterpret_cast<void**>(&g_MbnSignal));
    if (FAILED(hr)) {
        return hr;
    }
    ClearReference(g_MbnRegistration);
    hr = g_MbnInterface->QueryInterface(IID_IMbnRegistration, reinterpret_cast<void**>(&g_MbnRegistration));
    if (FAILED(hr)) {
        return hr;
    }
    ClearReference(g_MbnRadio);
    hr = g_MbnInterface->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(&g_MbnRadio));
    if (FAILED(hr)) {
        return hr;
    }
    bInterfaceConnected = TRUE;
    return S_OK;
}

}  // namespace

HRESULT InterfaceCopyArray(GUID** array, SAFEARRAY* interfaces, ULONG* count) {
    if (array == nullptr || interfaces == nullptr || count == nullptr) {
        return E_POINTER;
    }
    *array = nullptr;
    *count = 0;
    LONG lower = 0;
    LONG upper = 0;
    HRESULT hr = SafeArrayGetLBound(interfaces, 1, &lower);
    if (FAILED(hr)) {
        return hr;
    }
    hr = SafeArrayGetUBound(interfaces, 1, &upper);
    if (FAILED(hr)) {
        return hr;
    }
    // Elements are read into one interface pointer each: any other shape would be written
    // past it, and only interface arrays give references that are ours to release.
    VARTYPE type = VT_EMPTY;
    if (SafeArrayGetDim(interfaces) != 1 || SafeArrayGetElemsize(interfaces) != sizeof(IUnknown*) ||
        FAILED(SafeArrayGetVartype(interfaces, &type)) || (type != VT_UNKNOWN && type != VT_DISPATCH)) {
        return E_INVALIDARG;
    }
    const uint64_t total = ElementCountOf(lower, upper);
    GUID* guids = nullptr;
    if (total > 0) {
        if (total > ULONG_MAX / sizeof(GUID)) {
            return E_OUTOFMEMORY;
        }
        guids = static_cast<GUID*>(CoTaskMemAlloc(static_cast<SIZE_T>(total * sizeof(GUID))));
        if (guids == nullptr) {
            return E_OUTOFMEMORY;
        }
    }
    ULONG appended = 0;
    for (int64_t index = lower; index <= upper; ++index) {
        LONG at = static_cast<LONG>(index);
        ComPtr<IUnknown> element;
        hr = SafeArrayGetElement(interfaces, &at, element.Put());
        if (FAILED(hr)) {
            continue;
        }
        ComPtr<IMbnInterface> mbnInterface;
        hr = element ? element->QueryInterface(IID_IMbnInterface, reinterpret_cast<void**>(mbnInterface.Put()))
                     : E_POINTER;
        if (FAILED(hr)) {
            continue;
        }
        BSTR id = nullptr;
        hr = mbnInterface->get_InterfaceID(&id);
        if (SUCCEEDED(hr)) {
            GUID guid{};
            hr = id != nullptr ? IIDFromString(id, &guid) : E_POINTER;
            if (SUCCEEDED(hr)) {
                guids[appended++] = guid;
            }
        }
        SysFreeString(id);
    }
    *array = guids;
    *count = appended;
    return appended > 0 ? S_OK : hr;
}

namespace MbnWrapper {

HRESULT EnumInterface(LONG* count, _MBIMIDS ids[]) {
    ModuleGuard guard;
    return EnumInterfaceRecords(count, ids, ULONG_MAX);
}

}  // namespace MbnWrapper

HRESULT DetectMbInterface() {
    _MBIMIDS records[DETECT_RECORDS] = {};
    LONG count = 0;
    const HRESULT hr = EnumInterfaceRecords(&count, records, DETECT_RECORDS);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] DetectMbInterface : EnumInterface FAILED\n");
        return E_FAIL;
    }
    LOG_INFO("[INFO] DetectMbInterface : Succeeded Found %d interfaces\n", static_cast<int>(count));
    if (count < 1) {
        LOG_INFO("[INFO] DetectMbInterface : Interface INVALID\n");
        return E_FAIL;
    }
    CopyIdentifier(g_InterfaceID, records[0].szInterfaceID);
    LOG_INFO("[INFO] DetectMbInterface : Interface set to %ls\n", g_InterfaceID);
    return hr;
}

HRESULT ConnectMBIMInterface() {
    ModuleGuard guard;
    LOG_INFO("[INFO] ConnectMBIMInterface : ++\n");
    if (DetectMbInterface() != S_OK) {
        LOG_INFO("[INFO] ConnectMBIMInterface : --\n");
        return E_FAIL;
    }
    return ConnectInterfaceLocked(g_InterfaceID);
}

HRESULT CreateGlobalEvent() {
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
    ModuleGuard guard;
    return ConnectInterfaceLocked(interfaceID);
}

HRESULT DisconnectInterface() {
    ModuleGuard guard;
    LOG_INFO("[INFO] DisconnectInterface : DisconnectInterface()\n");
    HRESULT result = S_OK;
    EndSubscription(pDeviceServiceEventsConnectionPoint, dwDeviceServiceEventsCookie, &result);
    EndSubscription(pRegistrationEventsConnectionPoint, dwRegistrationEventsCookie, &result);
    EndSubscription(pRadioEventsConnectionPoint, dwRadioEventsCookie, &result);
    EndSubscription(pConnectionEventsConnectionPoint, dwConnectionEventsCookie, &result);
    EndSubscription(pConnectionManagerEventsConnectionPoint, dwConnectionManagerEventsCookie, &result);
    EndSubscription(pInterfaceEventsConnectionPoint, dwInterfaceEventsCookie, nullptr);
    EndSubscription(pSignalEventsConnectionPoint, dwSignalEventsCookie, &result);
    if (g_CMbnSinks != nullptr) {
        g_CMbnSinks->Release();
    }
    CleanUpAllEvents();
    CleanUpGlobalValues();
    return result;
}

}  // namespace MbnWrapper

void CleanUpAllEvents() {
    LOG_INFO("[INFO] CleanUpAllEvents : CleanUpAllEvents()\n");
    // The query event stays for the life of the process.
    for (HANDLE* event : {&g_hOpenSessionEvent, &g_hCloseSessionEvent, &g_hSetCommandEvent}) {
        if (*event != nullptr) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
}

void CleanUpGlobalValues() {
    LOG_INFO("[INFO] CleanUpGlobalValues : CleanUpGlobalValues()\n");
    bInterfaceConnected = FALSE;
    ClearReference(g_MbnInterface);
    ClearReference(g_MbnRadio);
    ClearReference(g_MbnRegistration);
    ClearReference(g_MbnSignal);
    ClearReference(g_MbnConnection);
    ClearReference(g_MbnDeviceServicesContext);
    g_CallbackStatus = S_OK;
    ClearReference(g_CallbackDeviceService);
}

HRESULT InterfaceAddRemoveEventCallback(IMbnInterface*, BOOL arrived) {
    ModuleGuard guard;
    if (arrived) {
        DetectMbInterface();
        LOG_INFO("[INFO] InterfaceAddRemoveEventCallback : ConnectInterface()\n");
        ConnectInterfaceLocked(g_InterfaceID);
        LOG_INFO("[INFO] InterfaceAddRemoveEventCallback : Reopen Sessions\n");
    } else {
        LOG_INFO("[INFO] InterfaceAddRemoveEventCallback : Invalidate Open Sessions\n");
        for (CommandSessionEntry& entry : g_SessionTable) {
            if (entry.bSessionOpen) {
                entry.bInUse = 0;
            }
        }
        LOG_INFO("[INFO] InterfaceAddRemoveEventCallback : DisconnectInterface()\n");
        MbnWrapper::DisconnectInterface();
    }
    return S_OK;
}

QuarnHresult InitRegisterMBIMInterface() {
    ModuleGuard guard;
    if (bInitialied) {
        LOG_INFO("[INFO] InitRegisterMBIMInterface : bInitialied is already TRUE\n");
        ConnectMBIMInterface();
        return S_OK;
    }
    if (g_CMbnSinks == nullptr) {
        g_CMbnSinks = CMbnSinks::Create();
    }
    g_CMbnSinks->SetInterfaceAddRemoveHandler(InterfaceAddRemoveEventCallback);
    for (CommandSessionEntry& entry : g_SessionTable) {
        entry.bInUse = 0;
        entry.bSessionOpen = 0;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    const HRESULT managerCreated = CreateInto(g_InterfaceMgr, CLSID_MbnInterfaceManager);
    CreateInto(g_MbnConnectionMgr, CLSID_MbnConnectionManager);
    CreateInto(g_MbnConnectionProfileMgr, CLSID_MbnConnectionProfileManager);
    HRESULT hr = CreateInto(g_MbnDeviceServicesManager, CLSID_MbnDeviceServicesManager);
    if (SUCCEEDED(hr) && g_InterfaceMgr == nullptr) {
        // No manager to subscribe to: its own creation's failure is the answer.
        hr = FAILED(managerCreated) ? managerCreated : E_POINTER;
    } else if (SUCCEEDED(hr)) {
        ComPtr<IConnectionPointContainer> container;
        hr = g_InterfaceMgr->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Put()));
        if (SUCCEEDED(hr)) {
            EndSubscription(pInterfaceManagerEventsConnectionPoint, dwInterfaceManagerEventsCookie, nullptr);
            hr = container->FindConnectionPoint(IID_IMbnInterfaceManagerEvents,
                                                &pInterfaceManagerEventsConnectionPoint);
        }
        if (SUCCEEDED(hr) && pInterfaceManagerEventsConnectionPoint != nullptr) {
            ComPtr<IUnknown> sink;
            g_CMbnSinks->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(sink.Put()));
            hr = pInterfaceManagerEventsConnectionPoint->Advise(sink.Get(), &dwInterfaceManagerEventsCookie);
        }
    }
    bInitialied = TRUE;
    ConnectMBIMInterface();
    return hr;
}

void DeInitRegisterMBIMInterface() {
    ModuleGuard guard;
    if (bInterfaceConnected) {
        LOG_INFO("[INFO] DeInitRegisterMBIMInterface : Closing Open Sessions\n");
        for (CommandSessionEntry& entry : g_SessionTable) {
            if (entry.bInUse && entry.bSessionOpen) {
                wchar_t deviceServiceID[MBN_ID_CHARS];
                CopyIdentifier(deviceServiceID, entry.deviceServiceID);
                MbnWrapper::CloseCommandSession(deviceServiceID);
            }
        }
    }
    // The interface-manager subscription ends before the sink goes, connected or not, so no
    // notification reaches a sink that has been taken down.
    if (pInterfaceManagerEventsConnectionPoint != nullptr) {
        EndSubscription(pInterfaceManagerEventsConnectionPoint, dwInterfaceManagerEventsCookie, nullptr);
        if (g_CMbnSinks != nullptr) {
            g_CMbnSinks->Release();
        }
    }
    if (bInterfaceConnected) {
        LOG_INFO("[INFO] DeInitRegisterMBIMInterface : DisconnectInterface()\n");
        MbnWrapper::DisconnectInterface();
    }
    if (bInitialied) {
        if (g_CMbnSinks != nullptr) {
            g_CMbnSinks->Destroy();
            g_CMbnSinks = nullptr;
        }
        ClearReference(g_MbnConnectionMgr);
        ClearReference(g_MbnConnectionProfileMgr);
        ClearReference(g_MbnDeviceServicesContext);
        ClearReference(g_MbnDeviceServicesManager);
        ClearReference(g_InterfaceMgr);
        CoUninitialize();
        bInitialied = FALSE;
    }
}

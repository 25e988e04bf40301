// The module's start and end, the work of an interface's arrival and removal, and what an
// outside caller that never ran start-up is given.
#include "mbnapi/mbn_interface.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "common/win/com_ptr.h"
#include "mbnapi/mbn_exports.h"
#include "mbnapi/win/mbn_module.h"
#include "mbnapi/win/mbn_sinks.h"
#include "trace/trace.h"

using namespace QuarnMbn;

namespace {

void SetSink(CMbnSinks* sink) {
    StateGuard guard;
    g_CMbnSinks = sink;
}

// The four objects of the module's start and the sink's interface-manager subscription;
// the result of the last step taken.
HRESULT CreateObjectsAndSubscribe() {
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
    return hr;
}

// Every object of the old service, its subscriptions and the sessions opened through it:
// they only answer RPC errors now. The sink stays; it is ours.
void DropObjectsOfGoneService() {
    for (CommandSessionEntry& entry : g_SessionTable) {
        if (entry.bSessionOpen) {
            entry.bInUse = 0;
        }
    }
    EndSubscription(pInterfaceManagerEventsConnectionPoint, dwInterfaceManagerEventsCookie, nullptr);
    MbnWrapper::DisconnectInterface();
    ReleaseSinkReferences();
    ReleaseOwned(g_MbnDeviceServicesContext);
    ReleaseOwned(g_MbnConnectionMgr);
    ReleaseOwned(g_MbnConnectionProfileMgr);
    ReleaseOwned(g_MbnDeviceServicesManager);
    ReleaseOwned(g_InterfaceMgr);
}

}  // namespace

bool IsServiceGone(HRESULT hr) {
    return hr == static_cast<HRESULT>(0x800706BA) || hr == static_cast<HRESULT>(0x80010108);
}

HRESULT RenewObjectsOfGoneService() {
    OperationScope operation;
    LOG_INFO("[INFO] RenewObjectsOfGoneService : the service's objects are gone: dropped\n");
    DropObjectsOfGoneService();
    if (!bInitialied) {
        PrepareForOutsideCaller();
        return g_InterfaceMgr != nullptr && g_MbnConnectionMgr != nullptr && g_MbnDeviceServicesManager != nullptr
                   ? S_OK
                   : static_cast<HRESULT>(0x800706BA);
    }
    return CreateObjectsAndSubscribe();
}

void RenewObjectsIfServiceGone(const wchar_t* deviceServiceID) {
    OperationScope operation;
    ComPtr<IMbnDeviceServicesContext> context(TakeReference(g_MbnDeviceServicesContext));
    if (!context || deviceServiceID == nullptr) {
        return;
    }
    BSTR id = SysAllocString(deviceServiceID);
    ComPtr<IMbnDeviceService> service;
    const HRESULT hr = context->GetDeviceService(id, service.Put());
    SysFreeString(id);
    if (IsServiceGone(hr)) {
        RenewObjectsOfGoneService();
    }
}

QuarnHresult ReconnectMBIMInterfaceAfterServiceRestart() {
    OperationScope operation;
    if (!bInitialied) {
        return S_OK;
    }
    // Objects that still answer belong to a service that did not restart: kept.
    HRESULT hr = static_cast<HRESULT>(0x800706BA);  // nothing held: as good as gone
    if (g_InterfaceMgr != nullptr && pInterfaceManagerEventsConnectionPoint != nullptr) {
        SAFEARRAY* interfaces = nullptr;
        hr = g_InterfaceMgr->GetInterfaces(&interfaces);
        if (interfaces != nullptr) {
            SafeArrayDestroy(interfaces);
        }
    }
    if (IsServiceGone(hr)) {
        LOG_INFO("[INFO] ReconnectMBIMInterfaceAfterServiceRestart : the interface manager answers 0x%X\n",
                 static_cast<unsigned>(hr));
        hr = RenewObjectsOfGoneService();
        if (FAILED(hr)) {
            LOG_INFO("[INFO] ReconnectMBIMInterfaceAfterServiceRestart : not yet: 0x%X\n", static_cast<unsigned>(hr));
            return hr;
        }
    }
    // No interface now is no failure: the subscription connects the one that arrives.
    ConnectMBIMInterface();
    return S_OK;
}

void PrepareForOutsideCaller() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (g_CMbnSinks == nullptr) {
        SetSink(CMbnSinks::Create());
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

HRESULT InterfaceAddRemoveEventCallback(IMbnInterface*, BOOL arrived) {
    OperationScope operation;
    if (arrived) {
        DetectMbInterface();
        LOG_INFO("[INFO] InterfaceAddRemoveEventCallback : ConnectInterface()\n");
        ConnectInterfaceInOperation(g_InterfaceID);
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
    OperationScope operation;
    if (bInitialied) {
        LOG_INFO("[INFO] InitRegisterMBIMInterface : bInitialied is already TRUE\n");
        ConnectMBIMInterface();
        return S_OK;
    }
    if (g_CMbnSinks == nullptr) {
        SetSink(CMbnSinks::Create());
    }
    g_CMbnSinks->SetInterfaceAddRemoveHandler(InterfaceAddRemoveEventCallback);
    for (CommandSessionEntry& entry : g_SessionTable) {
        entry.bInUse = 0;
        entry.bSessionOpen = 0;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const HRESULT hr = CreateObjectsAndSubscribe();
    bInitialied = TRUE;
    ConnectMBIMInterface();
    return hr;
}

void DeInitRegisterMBIMInterface() {
    OperationScope operation;
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
    // notification reaches a sink that has been taken down. The API held its own reference
    // on the sink for it; the module releases none.
    EndSubscription(pInterfaceManagerEventsConnectionPoint, dwInterfaceManagerEventsCookie, nullptr);
    // The sink is taken down before the references it stores are cleared: Unadvise need not
    // wait for a notification under way, which would store one after the clearing, kept past
    // the end and reused by the next connection.
    if (bInitialied && g_CMbnSinks != nullptr) {
        CMbnSinks* sink = g_CMbnSinks;
        SetSink(nullptr);
        sink->Destroy();
    }
    // A connection that stopped part-way left its subscriptions in place; through them the API
    // holds the sink until they end, so they end here as a connected interface's do.
    const bool subscribed = pInterfaceEventsConnectionPoint != nullptr || pRegistrationEventsConnectionPoint != nullptr ||
                            pSignalEventsConnectionPoint != nullptr || pRadioEventsConnectionPoint != nullptr ||
                            pConnectionManagerEventsConnectionPoint != nullptr ||
                            pConnectionEventsConnectionPoint != nullptr || pDeviceServiceEventsConnectionPoint != nullptr;
    if (bInterfaceConnected || subscribed) {
        LOG_INFO("[INFO] DeInitRegisterMBIMInterface : DisconnectInterface()\n");
        MbnWrapper::DisconnectInterface();
    }
    if (bInitialied) {
        // What the sink stored while no interface was connected.
        ReleaseSinkReferences();
        ReleaseOwned(g_MbnConnectionMgr);
        ReleaseOwned(g_MbnConnectionProfileMgr);
        ReleaseOwned(g_MbnDeviceServicesContext);
        ReleaseOwned(g_MbnDeviceServicesManager);
        ReleaseOwned(g_InterfaceMgr);
        CoUninitialize();
        bInitialied = FALSE;
    }
}

#include "mbnapi/win/mbn_sinks.h"

#include "mbnapi/win/mbn_module.h"
#include "monitor/device_monitor.h"
#include "trace/trace.h"

using namespace QuarnMbn;

namespace {

CMbnSinks g_SinkObject;

void SignalIfCreated(HANDLE event) {
    if (event != nullptr) {
        SetEvent(event);
    }
}

// A completion's response bytes; a NULL array, or one whose bounds cannot be read, is none.
void StoreResponse(SAFEARRAY* data, BYTE* buffer, ULONG* size) {
    ULONG copied = 0;
    if (data != nullptr && !CopySafeArrayElements<BYTE>(data, buffer, MBN_RESPONSE_BUFFER_SIZE, &copied)) {
        copied = 0;
    }
    *size = copied;
}

}  // namespace

CMbnSinks* CMbnSinks::Create() {
    g_SinkObject.RefCount.store(0);
    g_SinkObject.InterfaceAddRemoveHandler = nullptr;
    return &g_SinkObject;
}

void CMbnSinks::Destroy() { InterfaceAddRemoveHandler = nullptr; }

void CMbnSinks::SetInterfaceAddRemoveHandler(InterfaceAddRemoveHandlerFn handler) {
    InterfaceAddRemoveHandler = handler;
}

bool CMbnSinks::IsCurrent() const { return g_CMbnSinks == this; }

HRESULT CMbnSinks::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    IUnknown* part = nullptr;
    if (riid == IID_IUnknown || riid == IID_IMbnRadioEvents) {
        part = static_cast<IMbnRadioEvents*>(this);
    } else if (riid == IID_IMbnRegistrationEvents) {
        part = static_cast<IMbnRegistrationEvents*>(this);
    } else if (riid == IID_IMbnSignalEvents) {
        part = static_cast<IMbnSignalEvents*>(this);
    } else if (riid == IID_IMbnInterfaceEvents) {
        part = static_cast<IMbnInterfaceEvents*>(this);
    } else if (riid == IID_IMbnInterfaceManagerEvents) {
        part = static_cast<IMbnInterfaceManagerEvents*>(this);
    } else if (riid == IID_IMbnConnectionManagerEvents) {
        part = static_cast<IMbnConnectionManagerEvents*>(this);
    } else if (riid == IID_IMbnConnectionEvents) {
        part = static_cast<IMbnConnectionEvents*>(this);
    } else if (riid == IID_IMbnDeviceServicesEvents) {
        part = static_cast<IMbnDeviceServicesEvents*>(this);
    }
    *ppv = part;
    if (part == nullptr) {
        return E_NOINTERFACE;
    }
    part->AddRef();
    return S_OK;
}

// Only counts: the module ends the object, never the count.
ULONG CMbnSinks::AddRef() { return static_cast<ULONG>(++RefCount); }
ULONG CMbnSinks::Release() { return static_cast<ULONG>(--RefCount); }

HRESULT CMbnSinks::OnRadioStateChange(IMbnRadio*) { return S_OK; }

HRESULT CMbnSinks::OnSetSoftwareRadioStateComplete(IMbnRadio* newInterface, ULONG, HRESULT) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_MbnRadio, newInterface);
    }
    return S_OK;
}

HRESULT CMbnSinks::OnRegisterModeAvailable(IMbnRegistration* newInterface) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_MbnRegistration, newInterface);
    }
    return S_OK;
}

HRESULT CMbnSinks::OnRegisterStateChange(IMbnRegistration* newInterface) {
    return OnRegisterModeAvailable(newInterface);
}

HRESULT CMbnSinks::OnPacketServiceStateChange(IMbnRegistration* newInterface) {
    return OnRegisterModeAvailable(newInterface);
}

HRESULT CMbnSinks::OnSetRegisterModeComplete(IMbnRegistration* newInterface, ULONG, HRESULT status) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_MbnRegistration, newInterface);
        g_CallbackStatus = status;
    }
    return S_OK;
}

HRESULT CMbnSinks::OnSignalStateChange(IMbnSignal* newInterface) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_MbnSignal, newInterface);
    }
    return S_OK;
}

HRESULT CMbnSinks::OnInterfaceCapabilityAvailable(IMbnInterface* newInterface) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_MbnInterface, newInterface);
    }
    return S_OK;
}

HRESULT CMbnSinks::OnSubscriberInformationChange(IMbnInterface* newInterface) {
    return OnInterfaceCapabilityAvailable(newInterface);
}

// The SIM status hand-off runs after the module lock is let go: the 4G power-on sends AT
// commands and waits for them, which has nothing to do with the module state.
HRESULT CMbnSinks::OnReadyStateChange(IMbnInterface* newInterface) {
    SimStatusRequests* requests = nullptr;
    {
        ModuleGuard guard;
        if (!IsCurrent()) {
            return S_OK;
        }
        StoreReference(g_MbnInterface, newInterface);
        if (g_MbnInterface != nullptr) {
            const MBN_READY_STATE previous = g_ReadyState;
            MBN_READY_STATE current = g_ReadyState;
            g_MbnInterface->GetReadyState(&current);
            g_ReadyState = current;
            LOG_INFO("[INFO] CMbnSinks::OnReadyStateChange :    *****Received OnReadyStateChange Event, previous: %d, "
                     "current: %d\n",
                     static_cast<int>(previous), static_cast<int>(current));
        }
        requests = g_SimStatusRequests;
    }
    if (requests != nullptr) {
        requests->TriggerUpdateSystemTrayIconStatus();
    }
    return S_OK;
}

HRESULT CMbnSinks::OnEmergencyModeChange(IMbnInterface* newInterface) {
    return OnInterfaceCapabilityAvailable(newInterface);
}

HRESULT CMbnSinks::OnHomeProviderAvailable(IMbnInterface* newInterface) {
    return OnInterfaceCapabilityAvailable(newInterface);
}

HRESULT CMbnSinks::OnPreferredProvidersChange(IMbnInterface* newInterface) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_MbnInterface, newInterface);
        LOG_INFO("[INFO] CMbnSinks::OnPreferredProvidersChange :    *****Received OnPreferredProvidersChange Event\n");
    }
    return S_OK;
}

HRESULT CMbnSinks::OnSetPreferredProvidersComplete(IMbnInterface* newInterface, ULONG, HRESULT status) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_MbnInterface, newInterface);
        g_CallbackStatus = status;
    }
    return S_OK;
}

HRESULT CMbnSinks::OnScanNetworkComplete(IMbnInterface* newInterface, ULONG requestID, HRESULT status) {
    return OnSetPreferredProvidersComplete(newInterface, requestID, status);
}

HRESULT CMbnSinks::OnInterfaceArrival(IMbnInterface* newInterface) {
    SimStatusRequests* requests = nullptr;
    {
        ModuleGuard guard;
        if (!IsCurrent()) {
            return S_OK;
        }
        StoreReference(g_MbnInterface, newInterface);
        LOG_INFO("[INFO] CMbnSinks::OnInterfaceArrival :    ***** MBIM Interface <- Arrival\n");
        if (InterfaceAddRemoveHandler != nullptr) {
            InterfaceAddRemoveHandler(newInterface, TRUE);
        }
        ConnectMBIMInterface();
        requests = g_SimStatusRequests;
    }
    if (requests != nullptr) {
        requests->TriggerUpdateSystemTrayIconStatus();
        requests->PowerOnSimOn4GPlatform();
    }
    return S_OK;
}

HRESULT CMbnSinks::OnInterfaceRemoval(IMbnInterface* oldInterface) {
    SimStatusRequests* requests = nullptr;
    {
        ModuleGuard guard;
        if (!IsCurrent()) {
            return S_OK;
        }
        LOG_INFO("[INFO] CMbnSinks::OnInterfaceRemoval :    ***** MBIM Interface -> Removal\n");
        if (InterfaceAddRemoveHandler != nullptr) {
            InterfaceAddRemoveHandler(oldInterface, FALSE);
        }
        requests = g_SimStatusRequests;
    }
    if (requests != nullptr) {
        requests->TriggerUpdateSystemTrayIconStatus();
    }
    return S_OK;
}

HRESULT CMbnSinks::OnConnectionArrival(IMbnConnection* newConnection) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_MbnConnection, newConnection);
    }
    return S_OK;
}

// The removed connection is what the module then holds.
HRESULT CMbnSinks::OnConnectionRemoval(IMbnConnection* oldConnection) { return OnConnectionArrival(oldConnection); }

HRESULT CMbnSinks::OnConnectComplete(IMbnConnection* newConnection, ULONG, HRESULT status) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_MbnConnection, newConnection);
        g_CallbackStatus = status;
    }
    return S_OK;
}

HRESULT CMbnSinks::OnDisconnectComplete(IMbnConnection* newConnection, ULONG requestID, HRESULT status) {
    return OnConnectComplete(newConnection, requestID, status);
}

HRESULT CMbnSinks::OnConnectStateChange(IMbnConnection* newConnection) { return OnConnectionArrival(newConnection); }

HRESULT CMbnSinks::OnVoiceCallStateChange(IMbnConnection* newConnection) {
    return OnConnectionArrival(newConnection);
}

HRESULT CMbnSinks::OnQuerySupportedCommandsComplete(IMbnDeviceService*, SAFEARRAY* commandIDList, HRESULT status,
                                                    ULONG) {
    ModuleGuard guard;
    if (!IsCurrent()) {
        return S_OK;
    }
    if (commandIDList != nullptr) {
        ULONG copied = 0;
        // The list belongs to the caller; more than the buffer holds is cut at the buffer.
        if (!CopySafeArrayElements<ULONG>(commandIDList, g_SupportedCommandIDs, MBN_SUPPORTED_COMMANDS_SIZE,
                                          &copied)) {
            return S_OK;
        }
    }
    g_CallbackStatus = status;
    return S_OK;
}

HRESULT CMbnSinks::OnOpenCommandSessionComplete(IMbnDeviceService* deviceService, HRESULT status, ULONG) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_CallbackDeviceService, deviceService);
        g_CallbackStatus = status;
        SignalIfCreated(g_hOpenSessionEvent);
    }
    return S_OK;
}

HRESULT CMbnSinks::OnCloseCommandSessionComplete(IMbnDeviceService*, HRESULT status, ULONG) {
    ModuleGuard guard;
    if (IsCurrent()) {
        g_CallbackStatus = status;
        SignalIfCreated(g_hCloseSessionEvent);
        g_CallbackStatus = status;
    }
    return S_OK;
}

// A completion for another request than the pending one keeps the stored response: only
// its status replaces the slot.
HRESULT CMbnSinks::OnSetCommandComplete(IMbnDeviceService*, ULONG, SAFEARRAY* deviceServiceData, HRESULT status,
                                        ULONG requestID) {
    ModuleGuard guard;
    if (IsCurrent()) {
        g_CallbackStatus = status;
        if (requestID == g_SetRequestID) {
            StoreResponse(deviceServiceData, g_SetResponseData, &g_SetResponseSize);
            SignalIfCreated(g_hSetCommandEvent);
        }
    }
    return S_OK;
}

HRESULT CMbnSinks::OnQueryCommandComplete(IMbnDeviceService* deviceService, ULONG, SAFEARRAY* deviceServiceData,
                                          HRESULT status, ULONG requestID) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_CallbackDeviceService, deviceService);
        g_CallbackStatus = status;
        if (requestID == g_QueryRequestID) {
            StoreResponse(deviceServiceData, g_QueryResponseData, &g_QueryResponseSize);
            SignalIfCreated(g_hQueryCommandEvent);
        }
    }
    return S_OK;
}

HRESULT CMbnSinks::OnEventNotification(IMbnDeviceService*, ULONG, SAFEARRAY*) { return S_OK; }

HRESULT CMbnSinks::OnOpenDataSessionComplete(IMbnDeviceService* deviceService, HRESULT status, ULONG) {
    ModuleGuard guard;
    if (IsCurrent()) {
        StoreReference(g_CallbackDeviceService, deviceService);
        g_CallbackStatus = status;
    }
    return S_OK;
}

HRESULT CMbnSinks::OnCloseDataSessionComplete(IMbnDeviceService*, HRESULT status, ULONG) {
    ModuleGuard guard;
    if (IsCurrent()) {
        g_CallbackStatus = status;
    }
    return S_OK;
}

HRESULT CMbnSinks::OnWriteDataComplete(IMbnDeviceService*, HRESULT, ULONG) { return S_OK; }
HRESULT CMbnSinks::OnReadData(IMbnDeviceService*, SAFEARRAY*) { return S_OK; }
HRESULT CMbnSinks::OnInterfaceStateChange(BSTR, MBN_DEVICE_SERVICES_INTERFACE_STATE) { return S_OK; }

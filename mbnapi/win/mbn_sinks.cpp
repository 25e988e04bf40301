#include "mbnapi/win/mbn_sinks.h"

#include "common/win/com_ptr.h"
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

void CMbnSinks::RunInterfaceHandler(BOOL arrived) {
    if (InterfaceAddRemoveHandler != nullptr) {
        InterfaceAddRemoveHandler(nullptr, arrived);
    }
}

bool CMbnSinks::IsCurrent() const { return g_CMbnSinks == this; }

template <typename T>
void CMbnSinks::Store(T*& slot, T* object) {
    StateGuard guard;
    if (IsCurrent()) {
        StoreReference(guard, slot, object);
    }
}

SimStatusRequests* CMbnSinks::CurrentRequests() const { return IsCurrent() ? g_SimStatusRequests : nullptr; }

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
    Store(g_MbnRadio, newInterface);
    return S_OK;
}

HRESULT CMbnSinks::OnRegisterModeAvailable(IMbnRegistration* newInterface) {
    Store(g_MbnRegistration, newInterface);
    return S_OK;
}

HRESULT CMbnSinks::OnRegisterStateChange(IMbnRegistration* newInterface) {
    return OnRegisterModeAvailable(newInterface);
}

HRESULT CMbnSinks::OnPacketServiceStateChange(IMbnRegistration* newInterface) {
    return OnRegisterModeAvailable(newInterface);
}

HRESULT CMbnSinks::OnSetRegisterModeComplete(IMbnRegistration* newInterface, ULONG, HRESULT status) {
    StateGuard guard;
    if (IsCurrent()) {
        StoreReference(guard, g_MbnRegistration, newInterface);
        g_CallbackStatus = status;
    }
    return S_OK;
}

HRESULT CMbnSinks::OnSignalStateChange(IMbnSignal* newInterface) {
    Store(g_MbnSignal, newInterface);
    return S_OK;
}

HRESULT CMbnSinks::OnInterfaceCapabilityAvailable(IMbnInterface* newInterface) {
    Store(g_MbnInterface, newInterface);
    return S_OK;
}

HRESULT CMbnSinks::OnSubscriberInformationChange(IMbnInterface* newInterface) {
    return OnInterfaceCapabilityAvailable(newInterface);
}

// The interface's ready state is read with no lock held, and the SIM status hand-off runs
// after: the 4G power-on sends AT commands and waits for them.
HRESULT CMbnSinks::OnReadyStateChange(IMbnInterface* newInterface) {
    ComPtr<IMbnInterface> current;
    MBN_READY_STATE previous = MBN_READY_STATE_OFF;
    SimStatusRequests* requests = nullptr;
    {
        StateGuard guard;
        if (!IsCurrent()) {
            return S_OK;
        }
        StoreReference(guard, g_MbnInterface, newInterface);
        current = ComPtr<IMbnInterface>(TakeReferenceLocked(g_MbnInterface));
        previous = g_ReadyState;
        requests = g_SimStatusRequests;
    }
    if (current) {
        MBN_READY_STATE state = previous;
        current->GetReadyState(&state);
        {
            StateGuard guard;
            g_ReadyState = state;
        }
        LOG_INFO("[INFO] CMbnSinks::OnReadyStateChange :    *****Received OnReadyStateChange Event, previous: %d, "
                 "current: %d\n",
                 static_cast<int>(previous), static_cast<int>(state));
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
    {
        StateGuard guard;
        if (!IsCurrent()) {
            return S_OK;
        }
        StoreReference(guard, g_MbnInterface, newInterface);
    }
    LOG_INFO("[INFO] CMbnSinks::OnPreferredProvidersChange :    *****Received OnPreferredProvidersChange Event\n");
    return S_OK;
}

HRESULT CMbnSinks::OnSetPreferredProvidersComplete(IMbnInterface* newInterface, ULONG, HRESULT status) {
    StateGuard guard;
    if (IsCurrent()) {
        StoreReference(guard, g_MbnInterface, newInterface);
        g_CallbackStatus = status;
    }
    return S_OK;
}

HRESULT CMbnSinks::OnScanNetworkComplete(IMbnInterface* newInterface, ULONG requestID, HRESULT status) {
    return OnSetPreferredProvidersComplete(newInterface, requestID, status);
}

// The connection work runs inside an operation (PostInterfaceChange): at once on this thread
// when none runs, otherwise when the running one ends. The hand-off follows on this thread.
HRESULT CMbnSinks::OnInterfaceArrival(IMbnInterface* newInterface) {
    SimStatusRequests* requests = nullptr;
    {
        StateGuard guard;
        if (!IsCurrent()) {
            return S_OK;
        }
        StoreReference(guard, g_MbnInterface, newInterface);
        requests = g_SimStatusRequests;
    }
    LOG_INFO("[INFO] CMbnSinks::OnInterfaceArrival :    ***** MBIM Interface <- Arrival\n");
    // The connection below takes a while, long enough for the icon to show and the user to
    // eject the SIM: the power-on belongs to this arrival and must not undo that eject.
    const uint32_t ejectCount = requests != nullptr ? requests->SimEjectCount() : 0;
    PostInterfaceChange(true);
    if (requests != nullptr) {
        requests->TriggerUpdateSystemTrayIconStatus();
        requests->PowerOnSimOn4GPlatformUnlessEjectedSince(ejectCount);
    }
    return S_OK;
}

HRESULT CMbnSinks::OnInterfaceRemoval(IMbnInterface*) {
    SimStatusRequests* requests = nullptr;
    {
        StateGuard guard;
        if (!IsCurrent()) {
            return S_OK;
        }
        requests = g_SimStatusRequests;
    }
    LOG_INFO("[INFO] CMbnSinks::OnInterfaceRemoval :    ***** MBIM Interface -> Removal\n");
    PostInterfaceChange(false);
    if (requests != nullptr) {
        requests->TriggerUpdateSystemTrayIconStatus();
    }
    return S_OK;
}

HRESULT CMbnSinks::OnConnectionArrival(IMbnConnection* newConnection) {
    Store(g_MbnConnection, newConnection);
    return S_OK;
}

// The removed connection is what the module then holds.
HRESULT CMbnSinks::OnConnectionRemoval(IMbnConnection* oldConnection) { return OnConnectionArrival(oldConnection); }

HRESULT CMbnSinks::OnConnectComplete(IMbnConnection* newConnection, ULONG, HRESULT status) {
    StateGuard guard;
    if (IsCurrent()) {
        StoreReference(guard, g_MbnConnection, newConnection);
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
    StateGuard guard;
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

HRESULT CMbnSinks::OnOpenCommandSessionComplete(IMbnDeviceService* deviceService, HRESULT status, ULONG requestID) {
    StateGuard guard;
    if (IsCurrent()) {
        StoreReference(guard, g_CallbackDeviceService, deviceService);
        g_CallbackStatus = status;
        if (CompleteRequest(g_OpenExchange, requestID, status, nullptr)) {
            SignalIfCreated(g_hOpenSessionEvent);
        }
    }
    return S_OK;
}

HRESULT CMbnSinks::OnCloseCommandSessionComplete(IMbnDeviceService*, HRESULT status, ULONG requestID) {
    StateGuard guard;
    if (IsCurrent()) {
        g_CallbackStatus = status;
        if (CompleteRequest(g_CloseExchange, requestID, status, nullptr)) {
            SignalIfCreated(g_hCloseSessionEvent);
        }
    }
    return S_OK;
}

HRESULT CMbnSinks::OnSetCommandComplete(IMbnDeviceService*, ULONG, SAFEARRAY* deviceServiceData, HRESULT status,
                                        ULONG requestID) {
    StateGuard guard;
    if (IsCurrent()) {
        g_CallbackStatus = status;
        if (CompleteRequest(g_SetExchange, requestID, status, deviceServiceData)) {
            SignalIfCreated(g_hSetCommandEvent);
        }
    }
    return S_OK;
}

HRESULT CMbnSinks::OnQueryCommandComplete(IMbnDeviceService* deviceService, ULONG, SAFEARRAY* deviceServiceData,
                                          HRESULT status, ULONG requestID) {
    StateGuard guard;
    if (IsCurrent()) {
        StoreReference(guard, g_CallbackDeviceService, deviceService);
        g_CallbackStatus = status;
        if (CompleteRequest(g_QueryExchange, requestID, status, deviceServiceData)) {
            SignalIfCreated(g_hQueryCommandEvent);
        }
    }
    return S_OK;
}

HRESULT CMbnSinks::OnEventNotification(IMbnDeviceService*, ULONG, SAFEARRAY*) { return S_OK; }

HRESULT CMbnSinks::OnOpenDataSessionComplete(IMbnDeviceService* deviceService, HRESULT status, ULONG) {
    StateGuard guard;
    if (IsCurrent()) {
        StoreReference(guard, g_CallbackDeviceService, deviceService);
        g_CallbackStatus = status;
    }
    return S_OK;
}

HRESULT CMbnSinks::OnCloseDataSessionComplete(IMbnDeviceService*, HRESULT status, ULONG) {
    StateGuard guard;
    if (IsCurrent()) {
        g_CallbackStatus = status;
    }
    return S_OK;
}

HRESULT CMbnSinks::OnWriteDataComplete(IMbnDeviceService*, HRESULT, ULONG) { return S_OK; }
HRESULT CMbnSinks::OnReadData(IMbnDeviceService*, SAFEARRAY*) { return S_OK; }
HRESULT CMbnSinks::OnInterfaceStateChange(BSTR, MBN_DEVICE_SERVICES_INTERFACE_STATE) { return S_OK; }

// CMbnSinks: the one COM object through which the Mobile Broadband API talks back. Its
// completions finish the command-session requests, its notifications keep the module's
// references current, and arrivals, removals and ready-state changes connect or disconnect
// the wrapper and ask the SIM status worker for a new decision.
#pragma once

#include <windows.h>

#include <atomic>

#include "compat/mbn_api.h"

class SimStatusRequests;

using InterfaceAddRemoveHandlerFn = HRESULT (*)(QuarnMbn::IMbnInterface* mbnInterface, BOOL arrived);

class CMbnSinks final : public QuarnMbn::IMbnRadioEvents,
                        public QuarnMbn::IMbnRegistrationEvents,
                        public QuarnMbn::IMbnSignalEvents,
                        public QuarnMbn::IMbnInterfaceEvents,
                        public QuarnMbn::IMbnInterfaceManagerEvents,
                        public QuarnMbn::IMbnConnectionManagerEvents,
                        public QuarnMbn::IMbnConnectionEvents,
                        public QuarnMbn::IMbnDeviceServicesEvents {
public:
    constexpr CMbnSinks() = default;

    // The module's one sink. It lives in static storage and is never freed: a notification
    // that the API had already started when the sink was taken down must still find a live
    // object, which then does nothing. Constant-initialised, like the rest of the module.
    static CMbnSinks* Create();
    // Ends the object for the module: later notifications change nothing.
    void Destroy();

    void SetInterfaceAddRemoveHandler(InterfaceAddRemoveHandlerFn handler);
    // The add/remove handler's work for an arrival or removal, run inside an operation.
    void RunInterfaceHandler(BOOL arrived);
    IUnknown* AsUnknown() { return static_cast<QuarnMbn::IMbnRadioEvents*>(this); }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IMbnRadioEvents
    HRESULT STDMETHODCALLTYPE OnRadioStateChange(QuarnMbn::IMbnRadio* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnSetSoftwareRadioStateComplete(QuarnMbn::IMbnRadio* newInterface, ULONG requestID,
                                                              HRESULT status) override;
    // IMbnRegistrationEvents
    HRESULT STDMETHODCALLTYPE OnRegisterModeAvailable(QuarnMbn::IMbnRegistration* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnRegisterStateChange(QuarnMbn::IMbnRegistration* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnPacketServiceStateChange(QuarnMbn::IMbnRegistration* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnSetRegisterModeComplete(QuarnMbn::IMbnRegistration* newInterface, ULONG requestID,
                                                        HRESULT status) override;
    // IMbnSignalEvents
    HRESULT STDMETHODCALLTYPE OnSignalStateChange(QuarnMbn::IMbnSignal* newInterface) override;
    // IMbnInterfaceEvents
    HRESULT STDMETHODCALLTYPE OnInterfaceCapabilityAvailable(QuarnMbn::IMbnInterface* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnSubscriberInformationChange(QuarnMbn::IMbnInterface* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnReadyStateChange(QuarnMbn::IMbnInterface* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnEmergencyModeChange(QuarnMbn::IMbnInterface* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnHomeProviderAvailable(QuarnMbn::IMbnInterface* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnPreferredProvidersChange(QuarnMbn::IMbnInterface* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnSetPreferredProvidersComplete(QuarnMbn::IMbnInterface* newInterface, ULONG requestID,
                                                              HRESULT status) override;
    HRESULT STDMETHODCALLTYPE OnScanNetworkComplete(QuarnMbn::IMbnInterface* newInterface, ULONG requestID,
                                                    HRESULT status) override;
    // IMbnInterfaceManagerEvents
    HRESULT STDMETHODCALLTYPE OnInterfaceArrival(QuarnMbn::IMbnInterface* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnInterfaceRemoval(QuarnMbn::IMbnInterface* oldInterface) override;
    // IMbnConnectionManagerEvents
    HRESULT STDMETHODCALLTYPE OnConnectionArrival(QuarnMbn::IMbnConnection* newConnection) override;
    HRESULT STDMETHODCALLTYPE OnConnectionRemoval(QuarnMbn::IMbnConnection* oldConnection) override;
    // IMbnConnectionEvents
    HRESULT STDMETHODCALLTYPE OnConnectComplete(QuarnMbn::IMbnConnection* newConnection, ULONG requestID,
                                                HRESULT status) override;
    HRESULT STDMETHODCALLTYPE OnDisconnectComplete(QuarnMbn::IMbnConnection* newConnection, ULONG requestID,
                                                   HRESULT status) override;
    HRESULT STDMETHODCALLTYPE OnConnectStateChange(QuarnMbn::IMbnConnection* newConnection) override;
    HRESULT STDMETHODCALLTYPE OnVoiceCallStateChange(QuarnMbn::IMbnConnection* newConnection) override;
    // IMbnDeviceServicesEvents
    HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(QuarnMbn::IMbnDeviceService* deviceService,
                                                               SAFEARRAY* commandIDList, HRESULT status,
                                                               ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(QuarnMbn::IMbnDeviceService* deviceService,
                                                           HRESULT status, ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(QuarnMbn::IMbnDeviceService* deviceService,
                                                            HRESULT status, ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnSetCommandComplete(QuarnMbn::IMbnDeviceService* deviceService, ULONG responseID,
                                                   SAFEARRAY* deviceServiceData, HRESULT status,
                                                   ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(QuarnMbn::IMbnDeviceService* deviceService, ULONG responseID,
                                                     SAFEARRAY* deviceServiceData, HRESULT status,
                                                     ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnEventNotification(QuarnMbn::IMbnDeviceService* deviceService, ULONG eventID,
                                                  SAFEARRAY* deviceServiceData) override;
    HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(QuarnMbn::IMbnDeviceService* deviceService, HRESULT status,
                                                        ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(QuarnMbn::IMbnDeviceService* deviceService, HRESULT status,
                                                         ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnWriteDataComplete(QuarnMbn::IMbnDeviceService* deviceService, HRESULT status,
                                                  ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnReadData(QuarnMbn::IMbnDeviceService* deviceService,
                                         SAFEARRAY* deviceServiceData) override;
    HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR interfaceID,
                                                     QuarnMbn::MBN_DEVICE_SERVICES_INTERFACE_STATE stateChange) override;

    LONG CurrentRefCount() const { return RefCount.load(); }

private:
    // Notifications change the module only while this is the module's sink. Under the state
    // lock.
    bool IsCurrent() const;
    // Stores `object` into a module reference under the state lock, while this is the sink.
    template <typename T>
    void Store(T*& slot, T* object);
    // The SIM status requests, when this is the module's sink; under the state lock.
    SimStatusRequests* CurrentRequests() const;

    std::atomic<LONG> RefCount{0};
    InterfaceAddRemoveHandlerFn InterfaceAddRemoveHandler = nullptr;
};

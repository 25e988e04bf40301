// Mobile Broadband COM API (mbnapi.h) declarations: interface manager, interfaces, radio,
// registration, signal, connections, connection profiles, device services and their event
// sinks. mingw-w64 10 has no mbnapi.h and no IID/CLSID symbols for it, so they are declared
// here: the SDK's ABI, checked against the recorded API facts (see README.md here).
//
// Everything sits in namespace QuarnMbn so that nothing collides with a later mingw-w64 that
// does ship mbnapi.h, and everything is header-only (inline constexpr GUIDs), so no library
// has to provide the IID/CLSID symbols.
#pragma once

#include <cstddef>
#include <cstdint>


#include <windows.h>
#include <oaidl.h>  // SAFEARRAY, BSTR, VARIANT_BOOL

namespace QuarnMbn {

// The IDL declares every enum v1_enum, so each is exactly 32 bits.
enum MBN_RADIO : int32_t {
    MBN_RADIO_OFF = 0,
    MBN_RADIO_ON = 1,
};

enum MBN_ACTIVATION_STATE : int32_t {
    MBN_ACTIVATION_STATE_NONE = 0,
    MBN_ACTIVATION_STATE_ACTIVATED = 1,
    MBN_ACTIVATION_STATE_ACTIVATING = 2,
    MBN_ACTIVATION_STATE_DEACTIVATED = 3,
    MBN_ACTIVATION_STATE_DEACTIVATING = 4,
};

enum MBN_REGISTER_STATE : int32_t {
    MBN_REGISTER_STATE_NONE = 0,
    MBN_REGISTER_STATE_DEREGISTERED = 1,
    MBN_REGISTER_STATE_SEARCHING = 2,
    MBN_REGISTER_STATE_HOME = 3,
    MBN_REGISTER_STATE_ROAMING = 4,
    MBN_REGISTER_STATE_PARTNER = 5,
    MBN_REGISTER_STATE_DENIED = 6,
};

enum MBN_READY_STATE : int32_t {
    MBN_READY_STATE_OFF = 0,
    MBN_READY_STATE_INITIALIZED = 1,
    MBN_READY_STATE_SIM_NOT_INSERTED = 2,
    MBN_READY_STATE_BAD_SIM = 3,
    MBN_READY_STATE_FAILURE = 4,
    MBN_READY_STATE_NOT_ACTIVATED = 5,
    MBN_READY_STATE_DEVICE_LOCKED = 6,
    MBN_READY_STATE_DEVICE_BLOCKED = 7,
    MBN_READY_STATE_NO_ESIM_PROFILE = 8,  // newer systems only; older ones never report it
};

enum MBN_CONNECTION_MODE : int32_t {
    MBN_CONNECTION_MODE_PROFILE = 0,
    MBN_CONNECTION_MODE_TMP_PROFILE = 1,
};

enum MBN_REGISTER_MODE : int32_t {
    MBN_REGISTER_MODE_NONE = 0,
    MBN_REGISTER_MODE_AUTOMATIC = 1,
    MBN_REGISTER_MODE_MANUAL = 2,
};

enum MBN_DEVICE_SERVICES_INTERFACE_STATE : int32_t {
    MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_ARRIVAL = 0,
    MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL = 1,
};

enum MBN_VOICE_CALL_STATE : int32_t {
    MBN_VOICE_CALL_STATE_NONE = 0,
    MBN_VOICE_CALL_STATE_IN_PROGRESS = 1,
    MBN_VOICE_CALL_STATE_HANGUP = 2,
};

// Field types of MBN_INTERFACE_CAPS whose values this program does not interpret: sized,
// no enumerators.
enum MBN_CELLULAR_CLASS : int32_t;
enum MBN_VOICE_CLASS : int32_t;

// Buffer lengths the service uses for the matching MBN_PROVIDER / MBN_INTERFACE_CAPS strings.
inline constexpr ULONG MBN_PROVIDERNAME_LEN = 20;
inline constexpr ULONG MBN_PROVIDERID_LEN = 6;
inline constexpr ULONG MBN_DEVICEID_LEN = 18;
inline constexpr ULONG MBN_MANUFACTURER_LEN = 32;
inline constexpr ULONG MBN_MODEL_LEN = 32;
inline constexpr ULONG MBN_FIRMWARE_LEN = 32;

// The BSTR fields belong to whoever received the struct (SysFreeString each).
struct MBN_INTERFACE_CAPS {
    MBN_CELLULAR_CLASS cellularClass;
    MBN_VOICE_CLASS voiceClass;
    ULONG dataClass;  // MBN_DATA_CLASS bits
    BSTR customDataClass;
    ULONG gsmBandClass;   // MBN_BAND_CLASS bits
    ULONG cdmaBandClass;  // MBN_BAND_CLASS bits
    BSTR customBandClass;
    ULONG smsCaps;      // MBN_SMS_CAPS bits
    ULONG controlCaps;  // MBN_CTRL_CAPS bits
    BSTR deviceID;
    BSTR manufacturer;
    BSTR model;
    BSTR firmwareInfo;
};

struct MBN_PROVIDER {
    BSTR providerID;
    ULONG providerState;  // MBN_PROVIDER_STATE bits
    BSTR providerName;
    ULONG dataClass;  // MBN_DATA_CLASS bits
};

// Record element of the SAFEARRAY from IMbnDeviceServicesContext::EnumerateDeviceServices.
struct MBN_DEVICE_SERVICE {
    BSTR deviceServiceID;
    VARIANT_BOOL dataWriteSupported;
    VARIANT_BOOL dataReadSupported;
};

// Results this program only releases: their own methods (and IIDs) are left undeclared;
// deriving from IUnknown keeps Release callable.
struct IMbnSubscriberInformation : public IUnknown {};
struct IMbnConnectionProfile : public IUnknown {};

struct IMbnInterface;
struct IMbnRadio;
struct IMbnRegistration;
struct IMbnSignal;
struct IMbnConnection;
struct IMbnDeviceServicesContext;
struct IMbnDeviceService;

// Array parameters are untyped SAFEARRAYs; the comments give their element type.

struct IMbnInterfaceManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetInterface(LPCWSTR interfaceID, IMbnInterface** mbnInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInterfaces(SAFEARRAY** mbnInterfaces /* IMbnInterface* */) = 0;
};

struct IMbnInterface : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* InterfaceID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInterfaceCapability(MBN_INTERFACE_CAPS* interfaceCaps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSubscriberInformation(IMbnSubscriberInformation** subscriberInformation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReadyState(MBN_READY_STATE* readyState) = 0;
    virtual HRESULT STDMETHODCALLTYPE InEmergencyMode(VARIANT_BOOL* emergencyMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHomeProvider(MBN_PROVIDER* homeProvider) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPreferredProviders(SAFEARRAY** preferredProviders /* MBN_PROVIDER */) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPreferredProviders(SAFEARRAY* preferredProviders /* MBN_PROVIDER */, ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVisibleProviders(ULONG* age, SAFEARRAY** visibleProviders /* MBN_PROVIDER */) = 0;
    virtual HRESULT STDMETHODCALLTYPE ScanNetwork(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnection(IMbnConnection** mbnConnection) = 0;
};

struct IMbnRadio : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_SoftwareRadioState(MBN_RADIO* SoftwareRadioState) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HardwareRadioState(MBN_RADIO* HardwareRadioState) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSoftwareRadioState(MBN_RADIO radioState, ULONG* requestID) = 0;
};

struct IMbnRegistration : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetRegisterState(MBN_REGISTER_STATE* registerState) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRegisterMode(MBN_REGISTER_MODE* registerMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProviderID(BSTR* providerID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProviderName(BSTR* providerName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRoamingText(BSTR* roamingText) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAvailableDataClasses(ULONG* availableDataClasses) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentDataClass(ULONG* currentDataClass) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRegistrationNetworkError(ULONG* registrationNetworkError) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPacketAttachNetworkError(ULONG* packetAttachNetworkError) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetRegisterMode(MBN_REGISTER_MODE registerMode, LPCWSTR providerID, ULONG dataClass, ULONG* requestID) = 0;
};

struct IMbnSignal : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSignalStrength(ULONG* signalStrength) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSignalError(ULONG* signalError) = 0;
};

struct IMbnConnectionManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetConnection(LPCWSTR connectionID, IMbnConnection** mbnConnection) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnections(SAFEARRAY** mbnConnections /* IMbnConnection* */) = 0;
};

struct IMbnConnection : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_ConnectionID(BSTR* ConnectionID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* InterfaceID) = 0;
    virtual HRESULT STDMETHODCALLTYPE Connect(MBN_CONNECTION_MODE connectionMode, LPCWSTR strProfile, ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE Disconnect(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectionState(MBN_ACTIVATION_STATE* ConnectionState, BSTR* ProfileName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVoiceCallState(MBN_VOICE_CALL_STATE* voiceCallState) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetActivationNetworkError(ULONG* networkError) = 0;
};

struct IMbnConnectionProfileManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetConnectionProfiles(IMbnInterface* mbnInterface, SAFEARRAY** connectionProfiles /* IMbnConnectionProfile* */) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectionProfile(IMbnInterface* mbnInterface, LPCWSTR profileName, IMbnConnectionProfile** connectionProfile) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateConnectionProfile(LPCWSTR xmlProfile) = 0;
};

struct IMbnDeviceServicesManager : public IUnknown {
    // A BSTR here, unlike IMbnInterfaceManager::GetInterface: the call may be marshaled.
    virtual HRESULT STDMETHODCALLTYPE GetDeviceServicesContext(BSTR networkInterfaceID, IMbnDeviceServicesContext** mbnDevicesContext) = 0;
};

struct IMbnDeviceServicesContext : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumerateDeviceServices(SAFEARRAY** deviceServices /* MBN_DEVICE_SERVICE */) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceService(BSTR deviceServiceID, IMbnDeviceService** mbnDeviceService) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxCommandSize(ULONG* maxCommandSize) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxDataSize(ULONG* maxDataSize) = 0;
};

struct IMbnDeviceService : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QuerySupportedCommands(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenCommandSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseCommandSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCommand(ULONG commandID, SAFEARRAY* deviceServiceData /* BYTE */, ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryCommand(ULONG commandID, SAFEARRAY* deviceServiceData /* BYTE */, ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenDataSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseDataSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteData(SAFEARRAY* deviceServiceData /* BYTE */, ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* InterfaceID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DeviceServiceID(BSTR* DeviceServiceID) = 0;
    // Win32 BOOL (4 bytes), not VARIANT_BOOL.
    virtual HRESULT STDMETHODCALLTYPE get_IsCommandSessionOpen(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsDataSessionOpen(BOOL* value) = 0;
};

// Event sinks. The older completions pass (requestID, status); the device-services ones pass
// (status, requestID). Both are 32-bit, so only the vtable test would notice a swap.

struct IMbnRadioEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnRadioStateChange(IMbnRadio* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSetSoftwareRadioStateComplete(IMbnRadio* newInterface, ULONG requestID, HRESULT status) = 0;
};

struct IMbnRegistrationEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnRegisterModeAvailable(IMbnRegistration* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnRegisterStateChange(IMbnRegistration* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnPacketServiceStateChange(IMbnRegistration* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSetRegisterModeComplete(IMbnRegistration* newInterface, ULONG requestID, HRESULT status) = 0;
};

struct IMbnSignalEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnSignalStateChange(IMbnSignal* newInterface) = 0;
};

struct IMbnInterfaceEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnInterfaceCapabilityAvailable(IMbnInterface* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSubscriberInformationChange(IMbnInterface* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnReadyStateChange(IMbnInterface* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnEmergencyModeChange(IMbnInterface* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnHomeProviderAvailable(IMbnInterface* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnPreferredProvidersChange(IMbnInterface* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSetPreferredProvidersComplete(IMbnInterface* newInterface, ULONG requestID, HRESULT status) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnScanNetworkComplete(IMbnInterface* newInterface, ULONG requestID, HRESULT status) = 0;
};

struct IMbnInterfaceManagerEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnInterfaceArrival(IMbnInterface* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnInterfaceRemoval(IMbnInterface* oldInterface) = 0;
};

struct IMbnConnectionManagerEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnConnectionArrival(IMbnConnection* newConnection) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnConnectionRemoval(IMbnConnection* oldConnection) = 0;
};

struct IMbnConnectionEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnConnectComplete(IMbnConnection* newConnection, ULONG requestID, HRESULT status) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnDisconnectComplete(IMbnConnection* newConnection, ULONG requestID, HRESULT status) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnConnectStateChange(IMbnConnection* newConnection) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnVoiceCallStateChange(IMbnConnection* newConnection) = 0;
};

struct IMbnDeviceServicesEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService* deviceService, SAFEARRAY* commandIDList /* ULONG */, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService* deviceService, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService* deviceService, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService* deviceService, ULONG responseID, SAFEARRAY* deviceServiceData /* BYTE */, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService* deviceService, ULONG responseID, SAFEARRAY* deviceServiceData /* BYTE */, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService* deviceService, ULONG eventID, SAFEARRAY* deviceServiceData /* BYTE */) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService* deviceService, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService* deviceService, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService* deviceService, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService* deviceService, SAFEARRAY* deviceServiceData /* BYTE */) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR interfaceID, MBN_DEVICE_SERVICES_INTERFACE_STATE stateChange) = 0;
};

}  // namespace QuarnMbn


static_assert(sizeof(QuarnMbn::MBN_RADIO) == 4 && sizeof(QuarnMbn::MBN_READY_STATE) == 4 &&
                  sizeof(QuarnMbn::MBN_DEVICE_SERVICES_INTERFACE_STATE) == 4,
              "v1_enum types are 32-bit");

// Interfaces declared above, with their IIDs. One list feeds
// both the IID_ constants and mingw's __uuidof support, so the two cannot disagree.
#define QUARN_MBN_DECLARED_IIDS(X)                                                                            \
    X(IMbnInterfaceManager, 0xdcbbbab6, 0x201b, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)        \
    X(IMbnInterface, 0xdcbbbab6, 0x2001, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)               \
    X(IMbnRadio, 0xdccccab6, 0x201f, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)                   \
    X(IMbnRegistration, 0xdcbbbab6, 0x2009, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)            \
    X(IMbnSignal, 0xdcbbbab6, 0x2003, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)                  \
    X(IMbnConnectionManager, 0xdcbbbab6, 0x201d, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)       \
    X(IMbnConnection, 0xdcbbbab6, 0x200d, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)              \
    X(IMbnConnectionProfileManager, 0xdcbbbab6, 0x200f, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa) \
    X(IMbnDeviceServicesManager, 0x20a26258, 0x6811, 0x4478, 0xac, 0x1d, 0x13, 0x32, 0x4e, 0x45, 0xe4, 0x1c)   \
    X(IMbnDeviceServicesContext, 0xfc5ac347, 0x1592, 0x4068, 0x80, 0xbb, 0x6a, 0x57, 0x58, 0x01, 0x50, 0xd8)   \
    X(IMbnDeviceService, 0xb3bb9a71, 0xdc70, 0x4be9, 0xa4, 0xda, 0x78, 0x86, 0xae, 0x8b, 0x19, 0x1b)           \
    X(IMbnRadioEvents, 0xdcdddab6, 0x201f, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)             \
    X(IMbnRegistrationEvents, 0xdcbbbab6, 0x200a, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)      \
    X(IMbnSignalEvents, 0xdcbbbab6, 0x2004, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)            \
    X(IMbnInterfaceEvents, 0xdcbbbab6, 0x2002, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)         \
    X(IMbnInterfaceManagerEvents, 0xdcbbbab6, 0x201c, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)  \
    X(IMbnConnectionManagerEvents, 0xdcbbbab6, 0x201e, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa) \
    X(IMbnConnectionEvents, 0xdcbbbab6, 0x200e, 0x4bbb, 0xaa, 0xee, 0x33, 0x8e, 0x36, 0x8a, 0xf6, 0xfa)        \
    X(IMbnDeviceServicesEvents, 0x0a900c19, 0x6824, 0x4e97, 0xb7, 0x6e, 0xcf, 0x23, 0x9d, 0x0c, 0xa6, 0x42)

#define QUARN_MBN_DEFINE_IID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID IID_##name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};

namespace QuarnMbn {

QUARN_MBN_DECLARED_IIDS(QUARN_MBN_DEFINE_IID)

// Coclasses of the MbnApi library; each also answers IConnectionPointContainer for its events.
inline constexpr GUID CLSID_MbnInterfaceManager = {0xbdfee05b, 0x4418, 0x11dd, {0x90, 0xed, 0x00, 0x1c, 0x25, 0x7c, 0xcf, 0xf1}};
inline constexpr GUID CLSID_MbnConnectionManager = {0xbdfee05c, 0x4418, 0x11dd, {0x90, 0xed, 0x00, 0x1c, 0x25, 0x7c, 0xcf, 0xf1}};
inline constexpr GUID CLSID_MbnConnectionProfileManager = {0xbdfee05a, 0x4418, 0x11dd, {0x90, 0xed, 0x00, 0x1c, 0x25, 0x7c, 0xcf, 0xf1}};
inline constexpr GUID CLSID_MbnDeviceServicesManager = {0x2269daa3, 0x2a9f, 0x4165, {0xa5, 0x01, 0xce, 0x00, 0xa6, 0xf7, 0xa7, 0x5b}};

}  // namespace QuarnMbn

// mingw's __uuidof emulation needs one __CRT_UUID_DECL per type, outside any namespace.
#define QUARN_MBN_DECLARE_UUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    __CRT_UUID_DECL(QuarnMbn::name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
QUARN_MBN_DECLARED_IIDS(QUARN_MBN_DECLARE_UUID)
#undef QUARN_MBN_DECLARE_UUID

#undef QUARN_MBN_DEFINE_IID
#undef QUARN_MBN_DECLARED_IIDS

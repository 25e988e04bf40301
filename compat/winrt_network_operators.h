// Windows Runtime ABI declarations for mobile-broadband modems, device services, account
// watching and the cryptographic/byte buffers they exchange. mingw-w64 10 ships none of the
// Windows.Networking.NetworkOperators interfaces, and its windows.foundation.h and
// windows.security.cryptography.h do not compile as C++ with GCC 12, so they are declared
// here: the SDK's ABI, checked against the recorded API facts (see README.md here).
//
// Everything is header-only (inline constexpr IIDs), so the product and an emulator DLL can
// both include it without a library providing the IID symbols.
#pragma once

#include <cstdint>
#include <type_traits>


#include <windows.h>
#include <inspectable.h>
#include <eventtoken.h>
#include <asyncinfo.h>
#include <objidl.h>
// Compiles as C++ with GCC 12 and matches the Windows layout, so its IBuffer is reused.
#include <windows.storage.streams.h>

namespace QuarnWinRT {

// mingw-w64 declares these globally; the SDK puts them under ABI::Windows::Foundation.
using AsyncStatus = ::AsyncStatus;
using IAsyncInfo = ::IAsyncInfo;

using IBuffer = ABI::Windows::Storage::Streams::IBuffer;
using IBufferFactory = ABI::Windows::Storage::Streams::IBufferFactory;

enum NetworkDeviceStatus : int32_t {
    NetworkDeviceStatus_DeviceNotReady = 0,
    NetworkDeviceStatus_DeviceReady = 1,
    NetworkDeviceStatus_SimNotInserted = 2,
    NetworkDeviceStatus_BadSim = 3,
    NetworkDeviceStatus_DeviceHardwareFailure = 4,
    NetworkDeviceStatus_AccountNotActivated = 5,
    NetworkDeviceStatus_DeviceLocked = 6,
    NetworkDeviceStatus_DeviceBlocked = 7,
};

enum MobileBroadbandAccountWatcherStatus : int32_t {
    MobileBroadbandAccountWatcherStatus_Created = 0,
    MobileBroadbandAccountWatcherStatus_Started = 1,
    MobileBroadbandAccountWatcherStatus_EnumerationCompleted = 2,
    MobileBroadbandAccountWatcherStatus_Stopped = 3,
    MobileBroadbandAccountWatcherStatus_Aborted = 4,
};

enum BinaryStringEncoding : int32_t {
    BinaryStringEncoding_Utf8 = 0,
    BinaryStringEncoding_Utf16LE = 1,
    BinaryStringEncoding_Utf16BE = 2,
};

// Getter result types whose values this program does not interpret: sized, no enumerators.
// Runtime enumerations are 32-bit: signed, except flags enumerations, which are unsigned.
enum CellularClass : int32_t;  // Windows.Devices.Sms.CellularClass
enum DataClasses : uint32_t;   // a flags enumeration
enum MobileBroadbandDeviceType : int32_t;
enum MobileBroadbandRadioState : int32_t;
static_assert(std::is_same_v<std::underlying_type_t<DataClasses>, uint32_t>, "a flags enumeration is unsigned");

// Results this program only releases: their own methods are left undeclared, and they
// derive from IInspectable so that they can be released and queried.
struct IMobileBroadbandAccount : public IInspectable {};
struct IMobileBroadbandNetwork : public IInspectable {};
struct IMobileBroadbandDeviceServiceDataSession : public IInspectable {};
struct IAsyncAction : public IInspectable {};
struct IAsyncOperation_ModemConfiguration : public IInspectable {};
struct IVectorView_String : public IInspectable {};
struct IVectorView_UInt32 : public IInspectable {};
struct IVectorView_DeviceServiceInformation : public IInspectable {};

struct IMobileBroadbandModem;
struct IMobileBroadbandDeviceInformation;
struct IMobileBroadbandDeviceService;
struct IMobileBroadbandDeviceServiceCommandSession;
struct IMobileBroadbandDeviceServiceCommandResult;
struct IMobileBroadbandAccountWatcher;
struct IMobileBroadbandAccountEventArgs;
struct IMobileBroadbandAccountUpdatedEventArgs;
struct IAsyncOperation_CommandResult;

struct IMobileBroadbandModemStatics : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE GetDeviceSelector(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE FromId(HSTRING deviceId, IMobileBroadbandModem** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDefault(IMobileBroadbandModem** value) = 0;
};

struct IMobileBroadbandModem : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAccount(IMobileBroadbandAccount** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DeviceInformation(IMobileBroadbandDeviceInformation** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxDeviceServiceCommandSizeInBytes(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxDeviceServiceDataSizeInBytes(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DeviceServices(IVectorView_DeviceServiceInformation** value) = 0;
    // The GUID is passed by value, as the Windows ABI does (on x64 the caller passes a
    // pointer to a copy; GCC does the same for a by-value struct parameter).
    virtual HRESULT STDMETHODCALLTYPE GetDeviceService(GUID deviceServiceId, IMobileBroadbandDeviceService** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsResetSupported(boolean* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResetAsync(IAsyncAction** asyncInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentConfigurationAsync(IAsyncOperation_ModemConfiguration** asyncInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentNetwork(IMobileBroadbandNetwork** value) = 0;
};

struct IMobileBroadbandDeviceInformation : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_NetworkDeviceStatus(NetworkDeviceStatus* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Manufacturer(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Model(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FirmwareInformation(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CellularClass(CellularClass* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DataClasses(DataClasses* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CustomDataClass(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MobileEquipmentId(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TelephoneNumbers(IVectorView_String** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SubscriberId(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SimIccId(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DeviceType(MobileBroadbandDeviceType* pDeviceType) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DeviceId(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentRadioState(MobileBroadbandRadioState* pCurrentState) = 0;
};

struct IMobileBroadbandDeviceService : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_DeviceServiceId(GUID* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SupportedCommands(IVectorView_UInt32** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenDataSession(IMobileBroadbandDeviceServiceDataSession** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenCommandSession(IMobileBroadbandDeviceServiceCommandSession** value) = 0;
};

struct IMobileBroadbandDeviceServiceCommandSession : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE SendQueryCommandAsync(UINT32 commandId, IBuffer* data, IAsyncOperation_CommandResult** asyncInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE SendSetCommandAsync(UINT32 commandId, IBuffer* data, IAsyncOperation_CommandResult** asyncInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseSession() = 0;
};

struct IMobileBroadbandDeviceServiceCommandResult : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_StatusCode(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ResponseData(IBuffer** value) = 0;
};

// IAsyncOperation<MobileBroadbandDeviceServiceCommandResult>, AsyncOperationCompletedHandler<…>.
struct IAsyncOperationCompletedHandler_CommandResult : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperation_CommandResult* asyncInfo, AsyncStatus status) = 0;
};

struct IAsyncOperation_CommandResult : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE put_Completed(IAsyncOperationCompletedHandler_CommandResult* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Completed(IAsyncOperationCompletedHandler_CommandResult** handler) = 0;
    // Two pointer levels: the result is a runtime class, i.e. an interface pointer. (mingw's
    // generic IAsyncOperation<T> template in windows.foundation.collections.h has one more.)
    virtual HRESULT STDMETHODCALLTYPE GetResults(IMobileBroadbandDeviceServiceCommandResult** results) = 0;
};

// TypedEventHandler<MobileBroadbandAccountWatcher, …> instances.
struct ITypedEventHandler_Watcher_AccountEventArgs : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IMobileBroadbandAccountWatcher* sender, IMobileBroadbandAccountEventArgs* args) = 0;
};

struct ITypedEventHandler_Watcher_AccountUpdatedEventArgs : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IMobileBroadbandAccountWatcher* sender, IMobileBroadbandAccountUpdatedEventArgs* args) = 0;
};

struct ITypedEventHandler_Watcher_Object : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IMobileBroadbandAccountWatcher* sender, IInspectable* args) = 0;
};

struct IMobileBroadbandAccountWatcher : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE add_AccountAdded(ITypedEventHandler_Watcher_AccountEventArgs* handler, EventRegistrationToken* cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_AccountAdded(EventRegistrationToken cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_AccountUpdated(ITypedEventHandler_Watcher_AccountUpdatedEventArgs* handler, EventRegistrationToken* cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_AccountUpdated(EventRegistrationToken cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_AccountRemoved(ITypedEventHandler_Watcher_AccountEventArgs* handler, EventRegistrationToken* cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_AccountRemoved(EventRegistrationToken cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_EnumerationCompleted(ITypedEventHandler_Watcher_Object* handler, EventRegistrationToken* cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_EnumerationCompleted(EventRegistrationToken cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_Stopped(ITypedEventHandler_Watcher_Object* handler, EventRegistrationToken* cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_Stopped(EventRegistrationToken cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Status(MobileBroadbandAccountWatcherStatus* status) = 0;
    virtual HRESULT STDMETHODCALLTYPE Start() = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
};

struct IMobileBroadbandAccountEventArgs : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_NetworkAccountId(HSTRING* value) = 0;
};

struct IMobileBroadbandAccountUpdatedEventArgs : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_NetworkAccountId(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HasDeviceInformationChanged(boolean* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HasNetworkChanged(boolean* value) = 0;
};

struct ICryptographicBufferStatics : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE Compare(IBuffer* object1, IBuffer* object2, boolean* isEqual) = 0;
    virtual HRESULT STDMETHODCALLTYPE GenerateRandom(UINT32 length, IBuffer** buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE GenerateRandomNumber(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateFromByteArray(UINT32 valueLength, BYTE* value, IBuffer** buffer) = 0;
    // The callee allocates *value with CoTaskMemAlloc; the caller frees it with CoTaskMemFree.
    virtual HRESULT STDMETHODCALLTYPE CopyToByteArray(IBuffer* buffer, UINT32* valueLength, BYTE** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE DecodeFromHexString(HSTRING value, IBuffer** buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE EncodeToHexString(IBuffer* buffer, HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE DecodeFromBase64String(HSTRING value, IBuffer** buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE EncodeToBase64String(IBuffer* buffer, HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConvertStringToBinary(HSTRING value, BinaryStringEncoding encoding, IBuffer** buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConvertBinaryToString(BinaryStringEncoding encoding, IBuffer* buffer, HSTRING* value) = 0;
};

// A COM (not WinRT) interface: obtained by QueryInterface on an IBuffer.
struct IBufferByteAccess : public IUnknown {
    // The bytes stay owned by the buffer; valid while the caller holds a reference to it.
    virtual HRESULT STDMETHODCALLTYPE Buffer(BYTE** value) = 0;
};

}  // namespace QuarnWinRT


// Interfaces declared above, with their IIDs. One list feeds
// both the IID_ constants and mingw's __uuidof support, so the two cannot disagree.
#define QUARN_WINRT_DECLARED_IIDS(X)                                                                        \
    X(IMobileBroadbandModemStatics, 0xf99ed637, 0xd6f1, 0x4a78, 0x8c, 0xbc, 0x64, 0x21, 0xa6, 0x50, 0x63, 0xc8) \
    X(IMobileBroadbandModem, 0xd0356912, 0xe9f9, 0x4f67, 0xa0, 0x3d, 0x43, 0x18, 0x9a, 0x31, 0x6b, 0xf1)        \
    X(IMobileBroadbandDeviceInformation, 0xe6d08168, 0xe381, 0x4c6e, 0x9b, 0xe8, 0xfe, 0x15, 0x69, 0x69, 0xa4, 0x46) \
    X(IMobileBroadbandDeviceService, 0x22be1a52, 0xbd80, 0x40ac, 0x8e, 0x1f, 0x2e, 0x07, 0x83, 0x6a, 0x3d, 0xbd) \
    X(IMobileBroadbandDeviceServiceCommandSession, 0xfc098a45, 0x913b, 0x4914, 0xb6, 0xc3, 0xae, 0x63, 0x04, 0x59, 0x3e, 0x75) \
    X(IMobileBroadbandDeviceServiceCommandResult, 0xb0f46abb, 0x94d6, 0x44b9, 0xa5, 0x38, 0xf0, 0x81, 0x0b, 0x64, 0x53, 0x89) \
    X(IMobileBroadbandAccountWatcher, 0x6bf3335e, 0x23b5, 0x449f, 0x92, 0x8d, 0x5e, 0x0d, 0x3e, 0x04, 0x47, 0x1d) \
    X(IMobileBroadbandAccountEventArgs, 0x3853c880, 0x77de, 0x4c04, 0xbe, 0xad, 0xa1, 0x23, 0xb0, 0x8c, 0x9f, 0x59) \
    X(IMobileBroadbandAccountUpdatedEventArgs, 0x7bc31d88, 0xa6bd, 0x49e1, 0x80, 0xab, 0x6b, 0x91, 0x35, 0x4a, 0x57, 0xd4) \
    X(ICryptographicBufferStatics, 0x320b7e22, 0x3cb0, 0x4cdf, 0x86, 0x63, 0x1d, 0x28, 0x91, 0x00, 0x65, 0xeb) \
    X(IBufferByteAccess, 0x905a0fef, 0xbc53, 0x11df, 0x8c, 0x49, 0x00, 0x1e, 0x4f, 0xc6, 0x86, 0xda)            \
    X(IAsyncOperation_CommandResult, 0x2c673aa8, 0x6a35, 0x50fd, 0x94, 0x22, 0x36, 0x15, 0xa1, 0xc2, 0x8c, 0xcb) \
    X(IAsyncOperationCompletedHandler_CommandResult, 0x21f0ce4f, 0x8f33, 0x5e71, 0xa4, 0x57, 0xdd, 0xa5, 0x53, 0xb0, 0xd6, 0xbb) \
    X(ITypedEventHandler_Watcher_AccountEventArgs, 0x423cc41e, 0xfe8c, 0x5a7d, 0x9f, 0xee, 0xaa, 0xe0, 0x4e, 0xf8, 0x57, 0x00) \
    X(ITypedEventHandler_Watcher_AccountUpdatedEventArgs, 0x0e865096, 0x1ffa, 0x5792, 0x8d, 0x4f, 0x86, 0x23, 0xe3, 0xc7, 0x7f, 0x56) \
    X(ITypedEventHandler_Watcher_Object, 0xe4dc9cfc, 0xf462, 0x5afd, 0x85, 0x6d, 0x04, 0xac, 0xe2, 0x29, 0xd0, 0x0e)

#define QUARN_WINRT_DEFINE_IID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID IID_##name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};

namespace QuarnWinRT {

QUARN_WINRT_DECLARED_IIDS(QUARN_WINRT_DEFINE_IID)

// Declared by the system headers too, but there only as extern symbols needing a library.
inline constexpr GUID IID_IBuffer = {0x905a0fe0, 0xbc53, 0x11df, {0x8c, 0x49, 0x00, 0x1e, 0x4f, 0xc6, 0x86, 0xda}};
inline constexpr GUID IID_IBufferFactory = {0x71af914d, 0xc10f, 0x484b, {0xbc, 0x50, 0x14, 0xbc, 0x62, 0x3b, 0x3a, 0x27}};
inline constexpr GUID IID_IAsyncInfo = {0x00000036, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_IAgileObject = {0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};

inline constexpr wchar_t RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandModem[] =
    L"Windows.Networking.NetworkOperators.MobileBroadbandModem";
inline constexpr wchar_t RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandAccountWatcher[] =
    L"Windows.Networking.NetworkOperators.MobileBroadbandAccountWatcher";
inline constexpr wchar_t RuntimeClass_Windows_Security_Cryptography_CryptographicBuffer[] =
    L"Windows.Security.Cryptography.CryptographicBuffer";
inline constexpr wchar_t RuntimeClass_Windows_Storage_Streams_Buffer[] = L"Windows.Storage.Streams.Buffer";

}  // namespace QuarnWinRT

// mingw's __uuidof emulation needs one __CRT_UUID_DECL per type, outside any namespace.
#define QUARN_WINRT_DECLARE_UUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    __CRT_UUID_DECL(QuarnWinRT::name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
QUARN_WINRT_DECLARED_IIDS(QUARN_WINRT_DECLARE_UUID)
#undef QUARN_WINRT_DECLARE_UUID

#undef QUARN_WINRT_DEFINE_IID
#undef QUARN_WINRT_DECLARED_IIDS

// The exported entry points. Each prepares the image first (see image_fixups.h): in a
// caller that loaded the executable as a library, no other code of it may run before.
#include "mbnapi/mbn_exports.h"

#include "mbnapi/win/image_fixups.h"
#include "mbnapi/win/mbn_module.h"

HRESULT EnumInterface(LONG* count, _MBIMIDS ids[]) {
    PrepareImageForExports();
    return MbnWrapper::EnumInterface(count, ids);
}

HRESULT ConnectInterface(wchar_t* interfaceID) {
    PrepareImageForExports();
    return MbnWrapper::ConnectInterface(interfaceID);
}

HRESULT DisconnectInterface() {
    PrepareImageForExports();
    return MbnWrapper::DisconnectInterface();
}

HRESULT OpenCommandSession(wchar_t* deviceServiceID) {
    PrepareImageForExports();
    return MbnWrapper::OpenCommandSession(deviceServiceID);
}

BOOL CloseCommandSession(wchar_t* deviceServiceID) {
    PrepareImageForExports();
    return MbnWrapper::CloseCommandSession(deviceServiceID);
}

HRESULT SetCommand(wchar_t* reservedID, wchar_t* deviceServiceID, ULONG commandID, ULONG commandDataSize,
                   BYTE* pCommandData, ULONG* pResponseDataSize, BYTE* pResponseData, ULONG timeout) {
    PrepareImageForExports();
    return MbnWrapper::SetCommand(reservedID, deviceServiceID, commandID, commandDataSize, pCommandData,
                                  pResponseDataSize, pResponseData, timeout);
}

HRESULT QueryCommand(wchar_t* reservedID, wchar_t* deviceServiceID, ULONG commandID, ULONG commandDataSize,
                     BYTE* pCommandData, ULONG* pResponseDataSize, BYTE* pResponseData) {
    PrepareImageForExports();
    return MbnWrapper::QueryCommand(reservedID, deviceServiceID, commandID, commandDataSize, pCommandData,
                                    pResponseDataSize, pResponseData);
}

HRESULT GetRadioState(wchar_t* interfaceID, QuarnMbn::MBN_RADIO* softwareState, QuarnMbn::MBN_RADIO* hardwareState) {
    PrepareImageForExports();
    return MbnWrapper::GetRadioState(interfaceID, softwareState, hardwareState);
}

HRESULT GetConnectionState(wchar_t* interfaceID, QuarnMbn::MBN_ACTIVATION_STATE* state) {
    PrepareImageForExports();
    return MbnWrapper::GetConnectionState(interfaceID, state);
}

HRESULT GetRegisterState(wchar_t* reservedID, QuarnMbn::MBN_REGISTER_STATE* state) {
    PrepareImageForExports();
    return MbnWrapper::GetRegisterState(reservedID, state);
}

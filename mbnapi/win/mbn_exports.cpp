// The exported entry points. Each prepares the image first (see image_fixups.h): in a
// caller that loaded the executable as a library, no other code of it may run before, and
// none at all when the image could not be made ready.
#include "mbnapi/mbn_exports.h"

#include "mbnapi/win/image_fixups.h"
#include "mbnapi/win/mbn_module.h"

namespace {

// An object that answers that its service is gone stays so; the next call gets new ones.
HRESULT Answer(HRESULT hr) {
    if (IsServiceGone(hr)) {
        RenewObjectsOfGoneService();
    }
    return hr;
}

}  // namespace

HRESULT EnumInterface(LONG* count, _MBIMIDS ids[]) {
    if (!PrepareImageForExports()) {
        return MBN_E_IMAGE_NOT_READY;
    }
    return MbnWrapper::EnumInterface(count, ids);
}

HRESULT ConnectInterface(wchar_t* interfaceID) {
    if (!PrepareImageForExports()) {
        return MBN_E_IMAGE_NOT_READY;
    }
    return MbnWrapper::ConnectInterface(interfaceID);
}

HRESULT DisconnectInterface() {
    if (!PrepareImageForExports()) {
        return MBN_E_IMAGE_NOT_READY;
    }
    return MbnWrapper::DisconnectInterface();
}

HRESULT OpenCommandSession(wchar_t* deviceServiceID) {
    if (!PrepareImageForExports()) {
        return MBN_E_IMAGE_NOT_READY;
    }
    return Answer(MbnWrapper::OpenCommandSession(deviceServiceID));
}

BOOL CloseCommandSession(wchar_t* deviceServiceID) {
    if (!PrepareImageForExports()) {
        return FALSE;
    }
    return MbnWrapper::CloseCommandSession(deviceServiceID);
}

HRESULT SetCommand(wchar_t* reservedID, wchar_t* deviceServiceID, ULONG commandID, ULONG commandDataSize,
                   BYTE* pCommandData, ULONG* pResponseDataSize, BYTE* pResponseData, ULONG timeout) {
    if (!PrepareImageForExports()) {
        return MBN_E_IMAGE_NOT_READY;
    }
    const HRESULT hr = MbnWrapper::SetCommand(reservedID, deviceServiceID, commandID, commandDataSize, pCommandData,
                                              pResponseDataSize, pResponseData, timeout);
    if (hr != S_OK) {
        RenewObjectsIfServiceGone(deviceServiceID);
    }
    return hr;
}

HRESULT QueryCommand(wchar_t* reservedID, wchar_t* deviceServiceID, ULONG commandID, ULONG commandDataSize,
                     BYTE* pCommandData, ULONG* pResponseDataSize, BYTE* pResponseData) {
    if (!PrepareImageForExports()) {
        return MBN_E_IMAGE_NOT_READY;
    }
    return Answer(MbnWrapper::QueryCommand(reservedID, deviceServiceID, commandID, commandDataSize, pCommandData,
                                           pResponseDataSize, pResponseData));
}

HRESULT GetRadioState(wchar_t* interfaceID, QuarnMbn::MBN_RADIO* softwareState, QuarnMbn::MBN_RADIO* hardwareState) {
    if (!PrepareImageForExports()) {
        return MBN_E_IMAGE_NOT_READY;
    }
    return Answer(MbnWrapper::GetRadioState(interfaceID, softwareState, hardwareState));
}

HRESULT GetConnectionState(wchar_t* interfaceID, QuarnMbn::MBN_ACTIVATION_STATE* state) {
    if (!PrepareImageForExports()) {
        return MBN_E_IMAGE_NOT_READY;
    }
    return Answer(MbnWrapper::GetConnectionState(interfaceID, state));
}

HRESULT GetRegisterState(wchar_t* reservedID, QuarnMbn::MBN_REGISTER_STATE* state) {
    if (!PrepareImageForExports()) {
        return MBN_E_IMAGE_NOT_READY;
    }
    return Answer(MbnWrapper::GetRegisterState(reservedID, state));
}

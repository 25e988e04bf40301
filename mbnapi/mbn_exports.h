// The exported Mobile Broadband wrapper: the ten functions that outside callers find in
// QuarnVelmora.exe. They are exported under the names a caller's Microsoft C++ compiler
// gives these signatures (mbn_exports.def); callers load the executable as a library, so its
// start-up code never runs in their process and everything these functions touch is
// constant-initialised. Every function returns an HRESULT-style code and never throws;
// several paths return the plain number 50, so callers compare results with S_OK.
#pragma once

#include <windows.h>

#include "compat/mbn_api.h"

// One interface identifier as StringFromIID prints it ("{...}", 38 characters).
typedef struct _MBIMIDS {
    wchar_t szInterfaceID[64];
} MBIMIDS;
static_assert(sizeof(_MBIMIDS) == 128, "callers step through the array in 128-byte records");

// The result of several paths that are not HRESULT failures: a caller testing with FAILED
// sees success.
constexpr HRESULT MBN_RESULT_NOT_AVAILABLE = 50;

// What every export returns, without running, when the executable was loaded as a library
// and could not be made ready to run there (mbnapi/win/image_fixups.h); CloseCommandSession
// returns FALSE then. HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED).
constexpr HRESULT MBN_E_IMAGE_NOT_READY = static_cast<HRESULT>(0x8007045A);

// C linkage inside the executable; the module-definition file gives each its exported name.
extern "C" {

// `ids` must hold one record per interface in the system; `count` is set only on S_OK.
HRESULT EnumInterface(LONG* count, _MBIMIDS ids[]);
HRESULT ConnectInterface(wchar_t* interfaceID);
HRESULT DisconnectInterface();

HRESULT OpenCommandSession(wchar_t* deviceServiceID);
BOOL CloseCommandSession(wchar_t* deviceServiceID);
// `pResponseData` must hold 4096 bytes. Writes the command bytes as hex to standard output.
HRESULT SetCommand(wchar_t* reservedID, wchar_t* deviceServiceID, ULONG commandID, ULONG commandDataSize,
                   BYTE* pCommandData, ULONG* pResponseDataSize, BYTE* pResponseData, ULONG timeout);
HRESULT QueryCommand(wchar_t* reservedID, wchar_t* deviceServiceID, ULONG commandID, ULONG commandDataSize,
                     BYTE* pCommandData, ULONG* pResponseDataSize, BYTE* pResponseData);

HRESULT GetRadioState(wchar_t* interfaceID, QuarnMbn::MBN_RADIO* softwareState, QuarnMbn::MBN_RADIO* hardwareState);
HRESULT GetConnectionState(wchar_t* interfaceID, QuarnMbn::MBN_ACTIVATION_STATE* state);
HRESULT GetRegisterState(wchar_t* reservedID, QuarnMbn::MBN_REGISTER_STATE* state);

}  // extern "C"

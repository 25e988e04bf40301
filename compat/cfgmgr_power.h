// Configuration Manager notifications, the device-interface property query and suspend/
// resume notifications: declared by the Windows SDK, missing from mingw-w64 10. The
// functions are resolved at run time (Wine and older systems lack them), so only their
// pointer types are declared: the SDK's ABI, checked against the recorded API facts.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <devpropdef.h>

// Suspend/resume subscription (powrprof.h in the SDK).
#ifndef DEVICE_NOTIFY_CALLBACK
#define DEVICE_NOTIFY_CALLBACK 2
#endif
typedef ULONG(CALLBACK* PDEVICE_NOTIFY_CALLBACK_ROUTINE)(PVOID Context, ULONG Type, PVOID Setting);
typedef struct _DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS {
    PDEVICE_NOTIFY_CALLBACK_ROUTINE Callback;
    PVOID Context;
} DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS, *PDEVICE_NOTIFY_SUBSCRIBE_PARAMETERS;

namespace QuarnCompat {

using CmRegisterNotificationFn = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER filter, PVOID context,
                                                    PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notifyContext);
using CmUnregisterNotificationFn = CONFIGRET(WINAPI*)(HCMNOTIFICATION notifyContext);
using CmGetDeviceInterfacePropertyWFn = CONFIGRET(WINAPI*)(LPCWSTR deviceInterface, const DEVPROPKEY* propertyKey,
                                                           DEVPROPTYPE* propertyType, PBYTE propertyBuffer,
                                                           PULONG propertyBufferSize, ULONG flags);
using PowerRegisterSuspendResumeNotificationFn = DWORD(WINAPI*)(DWORD flags, HANDLE recipient,
                                                                PHPOWERNOTIFY registrationHandle);
using PowerUnregisterSuspendResumeNotificationFn = DWORD(WINAPI*)(HPOWERNOTIFY registrationHandle);

// devpkey.h defines these only where initguid.h came first; no library provides them.
inline constexpr DEVPROPKEY DEVPKEY_Device_InstanceId = {
    {0x78C34FC8, 0x104A, 0x4ACA, {0x9E, 0xA4, 0x52, 0x4D, 0x52, 0x99, 0x6E, 0x57}}, 256};
inline constexpr DEVPROPKEY DEVPKEY_Device_DriverVersion = {
    {0xA8B865DD, 0x2E3D, 0x4094, {0xAD, 0x97, 0xE5, 0x93, 0xA7, 0x0C, 0x75, 0xD6}}, 3};
// ddk/ndisguid.h has it, with selectany definitions of its neighbours.
inline constexpr GUID GUID_DEVINTERFACE_NET = {0xCAC88484, 0x7515, 0x4C03,
                                               {0x82, 0xE6, 0x71, 0xA8, 0x7A, 0xBA, 0xC3, 0x61}};

static_assert(sizeof(CM_NOTIFY_FILTER) == 416, "CM_NOTIFY_FILTER layout");
static_assert(sizeof(DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS) == 2 * sizeof(void*), "subscription layout");

}  // namespace QuarnCompat

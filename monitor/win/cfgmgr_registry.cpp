#include "monitor/win/cfgmgr_registry.h"

#include <cstring>

#include "compat/cfgmgr_power.h"

namespace {

GUID ToGuid(const QuarnGuid& id) {
    static_assert(sizeof(GUID) == sizeof(QuarnGuid), "GUID layout");
    GUID guid;
    std::memcpy(&guid, &id, sizeof(guid));
    return guid;
}

template <typename Function>
Function Resolve(const char* name) {
    const HMODULE module = LoadLibraryW(L"cfgmgr32.dll");
    return module == nullptr ? nullptr : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

QuarnCompat::CmGetDeviceInterfacePropertyWFn InterfaceProperty() {
    static const auto function =
        Resolve<QuarnCompat::CmGetDeviceInterfacePropertyWFn>("CM_Get_Device_Interface_PropertyW");
    return function;
}

DWORD CALLBACK NotifyThunk(HCMNOTIFICATION notify, PVOID context, CM_NOTIFY_ACTION action,
                           PCM_NOTIFY_EVENT_DATA eventData, DWORD eventDataSize) {
    return DeviceMonitor::DeviceInterfaceNotifyCallback(notify, context, static_cast<uint32_t>(action), eventData,
                                                        eventDataSize);
}

uint32_t ReadStringProperty(CONFIGRET result, DEVPROPTYPE type) {
    if (result == CR_SUCCESS && type != DEVPROP_TYPE_STRING) {
        return CR_INVALID_DATA;
    }
    return result;
}

}  // namespace

uint32_t CfgMgrRegistry::GetInterfaceListSize(const QuarnGuid& interfaceClass, uint32_t* length) {
    GUID guid = ToGuid(interfaceClass);
    ULONG size = 0;
    const CONFIGRET result =
        CM_Get_Device_Interface_List_SizeW(&size, &guid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    *length = size;
    return result;
}

uint32_t CfgMgrRegistry::GetInterfaceList(const QuarnGuid& interfaceClass, wchar_t* list, uint32_t length) {
    GUID guid = ToGuid(interfaceClass);
    return CM_Get_Device_Interface_ListW(&guid, nullptr, list, length, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
}

uint32_t CfgMgrRegistry::RegisterNotification(const QuarnGuid& interfaceClass, DeviceMonitorContext* context,
                                              void** handle) {
    static const auto registerNotification =
        Resolve<QuarnCompat::CmRegisterNotificationFn>("CM_Register_Notification");
    if (registerNotification == nullptr) {
        return CR_CALL_NOT_IMPLEMENTED;
    }
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter);
    filter.Flags = 0;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = ToGuid(interfaceClass);
    HCMNOTIFICATION notify = nullptr;
    const CONFIGRET result = registerNotification(&filter, context, NotifyThunk, &notify);
    *handle = notify;
    return result;
}

uint32_t CfgMgrRegistry::GetInstanceIdSize(const wchar_t* interfacePath, uint32_t* bytes) {
    *bytes = 0;
    if (InterfaceProperty() == nullptr) {
        return CR_CALL_NOT_IMPLEMENTED;
    }
    DEVPROPTYPE type = 0;
    ULONG size = 0;
    const CONFIGRET result =
        InterfaceProperty()(interfacePath, &QuarnCompat::DEVPKEY_Device_InstanceId, &type, nullptr, &size, 0);
    *bytes = size;
    return result;
}

uint32_t CfgMgrRegistry::GetInstanceId(const wchar_t* interfacePath, wchar_t* id, uint32_t bytes) {
    if (InterfaceProperty() == nullptr) {
        return CR_CALL_NOT_IMPLEMENTED;
    }
    DEVPROPTYPE type = 0;
    ULONG size = bytes;
    const CONFIGRET result = InterfaceProperty()(interfacePath, &QuarnCompat::DEVPKEY_Device_InstanceId, &type,
                                                 reinterpret_cast<PBYTE>(id), &size, 0);
    return ReadStringProperty(result, type);
}

uint32_t CfgMgrRegistry::LocateDevNode(const wchar_t* instanceId, uint32_t* devNode) {
    DEVINST node = 0;
    const CONFIGRET result = CM_Locate_DevNodeW(&node, const_cast<DEVINSTID_W>(instanceId), CM_LOCATE_DEVNODE_NORMAL);
    *devNode = node;
    return result;
}

uint32_t CfgMgrRegistry::GetDriverVersion(uint32_t devNode, wchar_t* version, uint32_t bytes) {
    DEVPROPTYPE type = 0;
    ULONG size = bytes;
    const CONFIGRET result = CM_Get_DevNode_PropertyW(devNode, &QuarnCompat::DEVPKEY_Device_DriverVersion, &type,
                                                      reinterpret_cast<PBYTE>(version), &size, 0);
    return ReadStringProperty(result, type);
}

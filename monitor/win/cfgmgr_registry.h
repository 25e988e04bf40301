// The Configuration Manager behind DeviceMonitor.
#pragma once

#include "monitor/device_monitor.h"

// CM_Register_Notification and CM_Get_Device_Interface_PropertyW are resolved at run time:
// Wine and older systems lack them, and a static import would end the process when called.
class CfgMgrRegistry final : public DeviceInterfaceRegistry {
public:
    uint32_t GetInterfaceListSize(const QuarnGuid& interfaceClass, uint32_t* length) override;
    uint32_t GetInterfaceList(const QuarnGuid& interfaceClass, wchar_t* list, uint32_t length) override;
    uint32_t RegisterNotification(const QuarnGuid& interfaceClass, DeviceMonitorContext* context,
                                  void** handle) override;
    uint32_t GetInstanceIdSize(const wchar_t* interfacePath, uint32_t* bytes) override;
    uint32_t GetInstanceId(const wchar_t* interfacePath, wchar_t* id, uint32_t bytes) override;
    uint32_t LocateDevNode(const wchar_t* instanceId, uint32_t* devNode) override;
    uint32_t GetDriverVersion(uint32_t devNode, wchar_t* version, uint32_t bytes) override;
};

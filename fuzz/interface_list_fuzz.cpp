// Arbitrary bytes as the Configuration Manager's list of present interfaces: the walk must
// stay inside the list and copy only a whole entry that holds the hardware ID and fits.
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

#include "monitor/device_monitor.h"
#include "trace/trace.h"

namespace {

std::wstring g_List;
const wchar_t kHardwareId[] = L"VID_5A3E&PID_0AC9&MI_00";

class FuzzRegistry : public DeviceInterfaceRegistry {
public:
    uint32_t GetInterfaceListSize(const QuarnGuid&, uint32_t* length) override {
        *length = static_cast<uint32_t>(g_List.size());
        return CM_RESULT_SUCCESS;
    }
    uint32_t GetInterfaceList(const QuarnGuid&, wchar_t* list, uint32_t length) override {
        std::wmemcpy(list, g_List.data(), length < g_List.size() ? length : g_List.size());
        return CM_RESULT_SUCCESS;
    }
    uint32_t RegisterNotification(const QuarnGuid&, DeviceMonitorContext*, void**) override { return 0; }
    uint32_t GetInstanceIdSize(const wchar_t*, uint32_t*) override { return 0x25; }
    uint32_t GetInstanceId(const wchar_t*, wchar_t*, uint32_t) override { return 0x25; }
    uint32_t LocateDevNode(const wchar_t*, uint32_t*) override { return 0x0D; }
    uint32_t GetDriverVersion(uint32_t, wchar_t*, uint32_t) override { return 0x25; }
};

FuzzRegistry g_Registry;

void Discard(uint64_t, const TraceEventDescriptor&, const char*, uint32_t) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    DeviceMonitor::Attach(&g_Registry, nullptr);
    SetTraceWriter(Discard);
    TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 0, 0, 0, nullptr, &g_TraceContext);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Bytes as 16-bit units (the Windows list's width); a short alphabet makes matches likely.
    g_List.clear();
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const uint16_t unit = static_cast<uint16_t>(data[i] | (data[i + 1] << 8));
        g_List += unit % 7 == 0 ? L'\0' : unit % 5 == 0 ? std::wstring(kHardwareId).at(unit % 23) : static_cast<wchar_t>(unit);
    }
    wchar_t found[DEVICE_TEXT_CAPACITY + 1];
    found[DEVICE_TEXT_CAPACITY] = L'#';
    if (DeviceMonitor::SetDeviceInterfaceId(found, &QUARN_GUID_DEVINTERFACE_NET, kHardwareId) == 1) {
        const std::size_t length = std::wcslen(found);
        if (length >= DEVICE_TEXT_CAPACITY || std::wcsstr(found, kHardwareId) == nullptr) {
            __builtin_trap();
        }
        // The copy is a whole entry of the list: preceded by the start or a terminator.
        const std::size_t at = g_List.find(std::wstring(found, length) + L'\0');
        if (at == std::wstring::npos || (at != 0 && g_List[at - 1] != L'\0')) {
            __builtin_trap();
        }
    }
    if (found[DEVICE_TEXT_CAPACITY] != L'#') {
        __builtin_trap();
    }
    return 0;
}

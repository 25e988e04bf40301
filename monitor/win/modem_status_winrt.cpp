#include "monitor/win/modem_status_winrt.h"

#include "common/win/com_ptr.h"
#include "common/win/default_modem.h"
#include "compat/winrt_network_operators.h"
#include "trace/trace.h"

using namespace QuarnWinRT;

int32_t WinRtModemStatusReader::ReadNetworkDeviceStatus() {
    try {
        ComPtr<IMobileBroadbandModem> modem = GetDefaultModem("No modem object");
        ComPtr<IMobileBroadbandDeviceInformation> information;
        ThrowIfFailed(modem->get_DeviceInformation(information.Put()));
        NetworkDeviceStatus status{};
        ThrowIfFailed(information->get_NetworkDeviceStatus(&status));
        return static_cast<int32_t>(status);
    } catch (const HresultError& e) {
        // The decision logs a Runtime failure without its code; the code tells a process the
        // modem's service refuses (E_ACCESSDENIED) from a modem that went away.
        LOG_ERROR("[ERROR] WinRtModemStatusReader::ReadNetworkDeviceStatus : modem status not read: 0x%08X\n",
                  static_cast<unsigned>(e.code()));
        throw;
    }
}

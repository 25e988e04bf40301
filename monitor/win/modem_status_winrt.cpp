#include "monitor/win/modem_status_winrt.h"

#include <stdexcept>

#include "common/win/activation_factory.h"
#include "common/win/com_ptr.h"
#include "compat/winrt_network_operators.h"

using namespace QuarnWinRT;

int32_t WinRtModemStatusReader::ReadNetworkDeviceStatus() {
    auto* statics = ActivationFactory<IMobileBroadbandModemStatics>(
        RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandModem, IID_IMobileBroadbandModemStatics);

    ComPtr<IMobileBroadbandModem> modem;
    ThrowIfFailed(statics->GetDefault(modem.Put()));
    if (!modem) {
        throw std::runtime_error("No modem object");
    }
    ComPtr<IMobileBroadbandDeviceInformation> information;
    ThrowIfFailed(modem->get_DeviceInformation(information.Put()));
    NetworkDeviceStatus status{};
    ThrowIfFailed(information->get_NetworkDeviceStatus(&status));
    return static_cast<int32_t>(status);
}

#include "monitor/win/modem_status_winrt.h"

#include <roapi.h>

#include <mutex>
#include <stdexcept>

#include "common/win/com_ptr.h"
#include "compat/winrt_network_operators.h"

using namespace QuarnWinRT;

int32_t WinRtModemStatusReader::ReadNetworkDeviceStatus() {
    static std::once_flag once;
    static IMobileBroadbandModemStatics* statics = nullptr;  // kept for the life of the process
    static HRESULT activation = S_OK;
    std::call_once(once, [] {
        HStringRef name(RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandModem);
        activation = RoGetActivationFactory(name.Get(), IID_IMobileBroadbandModemStatics,
                                            reinterpret_cast<void**>(&statics));
    });
    ThrowIfFailed(activation);

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

// The machine's default mobile-broadband modem, through the Windows Runtime: what the SIM
// status worker reads and what the modem path sends its commands to.
#pragma once

#include <stdexcept>

#include "common/win/activation_factory.h"
#include "common/win/com_ptr.h"
#include "compat/winrt_network_operators.h"

// Throws HresultError when the class or its GetDefault fails, and std::runtime_error with
// `noModemText` when there is no modem: each caller's failure line names that case in its
// own words.
inline ComPtr<QuarnWinRT::IMobileBroadbandModem> GetDefaultModem(const char* noModemText) {
    auto* statics = ActivationFactory<QuarnWinRT::IMobileBroadbandModemStatics>(
        QuarnWinRT::RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandModem,
        QuarnWinRT::IID_IMobileBroadbandModemStatics);
    ComPtr<QuarnWinRT::IMobileBroadbandModem> modem;
    ThrowIfFailed(statics->GetDefault(modem.Put()));
    if (!modem) {
        throw std::runtime_error(noModemText);
    }
    return modem;
}

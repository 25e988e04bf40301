// Sends one raw command to the modem's vendor device service through the Windows Runtime
// mobile-broadband classes and hands back the answer bytes.
#pragma once

#include <cstdint>

#include "compat/winrt_network_operators.h"
#include "modem/mbim_command.h"

namespace QUARN_MBIM_WINRT {

class MBIMWinRT {
public:
    // S_OK when the modem answered with status 0; E_FAIL otherwise. `response` holds
    // MBIM_PAYLOAD_LIMIT bytes and is written only on success.
    static HRESULT ExecuteMBIMCommand(uint32_t ulCommandDataLength, const uint8_t* commandData,
                                      uint32_t* responseLength, uint8_t* response, uint32_t timeoutMs);
    // 0 when the answer was copied; E_FAIL on time-out, failure or no result; otherwise the
    // modem's non-zero status code.
    static HRESULT WaitMBIMCommandComplete(uint32_t timeoutMs, QuarnWinRT::IAsyncOperation_CommandResult* operation,
                                           uint32_t* responseLength, uint8_t* response);
};

}  // namespace QUARN_MBIM_WINRT

// The transport as the AT tunnel sees it.
class WinRtModemTransport final : public ModemTransport {
public:
    QuarnHresult ExecuteMBIMCommand(uint32_t ulCommandDataLength, const uint8_t* commandData,
                                    uint32_t* responseLength, uint8_t* response, uint32_t timeoutMs) override {
        return QUARN_MBIM_WINRT::MBIMWinRT::ExecuteMBIMCommand(ulCommandDataLength, commandData, responseLength,
                                                               response, timeoutMs);
    }
};

// Arbitrary bytes as the modem's answer to the slot query and to the eject, through the
// whole AT tunnel: no read or write outside the buffers, and a slot only from a real match.
#include <cstdint>
#include <cstring>
#include <string>

#include "modem/mbim_command.h"
#include "tests/support/modem_port_fakes.h"
#include "trace/trace.h"

namespace {

std::string g_Answer;

class FuzzTransport : public ModemTransport {
public:
    QuarnHresult ExecuteMBIMCommand(uint32_t, const uint8_t*, uint32_t* responseLength, uint8_t* response,
                                    uint32_t) override {
        // The transport never hands back more than its buffer holds.
        const std::size_t length = g_Answer.size() < MBIM_PAYLOAD_LIMIT ? g_Answer.size() : MBIM_PAYLOAD_LIMIT;
        std::memcpy(response, g_Answer.data(), length);
        *responseLength = static_cast<uint32_t>(length);
        return QUARN_S_OK;
    }
};

FuzzTransport g_Transport;
SameApartment g_Apartment;
NoConsole g_Console;
NoSleep g_Sleeper;

void Discard(uint64_t, const TraceEventDescriptor&, const char*, uint32_t) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MBIMCommand::Attach({&g_Transport, &g_Apartment, &g_Console, &g_Sleeper});
    SetTraceWriter(Discard);
    TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 0, 0, 0, nullptr, &g_TraceContext);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_Answer.assign(reinterpret_cast<const char*>(data), size);
    const std::string text = g_Answer.substr(0, g_Answer.find('\0'));
    uint32_t slot = 0;
    if (MBIMCommand::GetSimSlot(&slot, PLATFORM_5G) == QUARN_S_OK) {
        const bool slot1 = text.find("+ESIMMAP: 1") != std::string::npos;
        const bool slot2 = text.find("+ESIMMAP: 2") != std::string::npos;
        if (text.find("OK") == std::string::npos || (slot == 1 && !slot1) || (slot == 2 && (!slot2 || slot1))) {
            __builtin_trap();
        }
    }
    const bool ejected = MBIMCommand::SendRemoveSimCard(PLATFORM_4G) == QUARN_S_OK;
    if (ejected != (text.substr(0, AT_ANSWER_CAPACITY - 1).find("OK") != std::string::npos)) {
        __builtin_trap();
    }
    return 0;
}

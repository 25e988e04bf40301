// Arbitrary bytes as the netsh slot-mapping output.
#include <cstdint>
#include <string>

#include "modem/mbim_command.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string output(reinterpret_cast<const char*>(data), size);
    const NetshSlotResult result = ParseNetshSlotMapping(output);
    const std::string separator = std::string(37, '-') + "\r\n";
    // Only output without the table's separator line is taken for no table.
    if (result == NetshSlotResult::NoSlotTable && output.find(separator) != std::string::npos) {
        __builtin_trap();
    }
    // A slot is only ever read from the byte right after the separator line.
    if (result == NetshSlotResult::Slot1 || result == NetshSlotResult::Slot2) {
        const std::size_t at = output.find(separator);
        if (at == std::string::npos || output[at + separator.size()] != (result == NetshSlotResult::Slot1 ? '0' : '1')) {
            __builtin_trap();
        }
    }
    return 0;
}

// Arbitrary SAFEARRAY bounds, sizes and unreadable elements for the copying of a completion's
// response bytes and supported-command IDs into their 4096-entry buffers: nothing is written
// past a buffer, every copied element is a real one in order, and the loop always ends.
#include <cstdint>
#include <cstring>
#include <vector>

#include "mbnapi/element_copy.h"

namespace {

constexpr uint32_t kCapacity = 4096;

template <typename T>
void CheckCopy(int32_t lower, int32_t upper, const uint8_t* data, size_t size, uint32_t failEvery) {
    // The array really holds `size / sizeof(T)` elements from `lower`; bounds may claim more.
    const size_t held = size / sizeof(T);
    auto read = [&](int32_t index, T* out) {
        const int64_t offset = static_cast<int64_t>(index) - lower;
        if (offset < 0 || static_cast<uint64_t>(offset) >= held) {
            return false;
        }
        if (failEvery > 1 && offset % failEvery == 0) {
            return false;
        }
        std::memcpy(out, data + offset * sizeof(T), sizeof(T));
        return true;
    };
    // A guard element after the buffer catches any write past it.
    std::vector<T> buffer(kCapacity + 1, T{});
    std::memset(&buffer[kCapacity], 0xA5, sizeof(T));
    T guard;
    std::memcpy(&guard, &buffer[kCapacity], sizeof(T));
    const uint32_t written = CopyReadableElements(lower, upper, read, buffer.data(), kCapacity);
    if (written > kCapacity || std::memcmp(&buffer[kCapacity], &guard, sizeof(T)) != 0) {
        __builtin_trap();
    }
    // Every element copied is the next readable one of the source, in order.
    uint32_t expected = 0;
    for (uint64_t offset = 0; offset < held && expected < written; ++offset) {
        if (static_cast<int64_t>(lower) + static_cast<int64_t>(offset) > upper) {
            break;
        }
        if (failEvery > 1 && offset % failEvery == 0) {
            continue;
        }
        if (std::memcmp(&buffer[expected], data + offset * sizeof(T), sizeof(T)) != 0) {
            __builtin_trap();
        }
        ++expected;
    }
    if (expected != written) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) {
        return 0;
    }
    int32_t lower;
    int32_t upper;
    std::memcpy(&lower, data, 4);
    std::memcpy(&upper, data + 4, 4);
    // Bounds far beyond what the bytes hold would only spin through unreadable indexes, as
    // a real array cannot claim elements it lacks; keep the claimed range near the data.
    const int64_t span = static_cast<int64_t>(upper) - lower;
    if (span > static_cast<int64_t>(size) * 4 + 8192) {
        upper = static_cast<int32_t>(lower + static_cast<int64_t>(size) * 4 + 8192);
    }
    const uint32_t failEvery = data[8] % 8;
    CheckCopy<uint8_t>(lower, upper, data + 9, size - 9, failEvery);
    CheckCopy<uint32_t>(lower, upper, data + 9, size - 9, failEvery);
    return 0;
}

// Copying the elements of a one-dimensional array whose bounds come from outside (a
// notification's SAFEARRAY) into a fixed buffer: every index from lower to upper is read in
// order, elements that cannot be read are skipped without leaving a gap, and copying stops
// when the buffer is full, so no bounds can make it write past the buffer or loop forever
// past INT32_MAX.
#pragma once

#include <cstdint>

// `read(index, &element)` returns false for an element that cannot be read. Returns the
// number of elements written to `buffer` (at most `capacity`).
template <typename T, typename ReadElement>
uint32_t CopyReadableElements(int32_t lower, int32_t upper, ReadElement&& read, T* buffer, uint32_t capacity) {
    uint32_t written = 0;
    // 64-bit index: an upper bound of INT32_MAX must end the loop, not wrap it.
    for (int64_t index = lower; index <= upper && written < capacity; ++index) {
        T element{};
        if (read(static_cast<int32_t>(index), &element)) {
            buffer[written++] = element;
        }
    }
    return written;
}

// Number of elements between two bounds as the array gives them; 0 when upper < lower.
inline uint64_t ElementCountOf(int32_t lower, int32_t upper) {
    return upper < lower ? 0 : static_cast<uint64_t>(static_cast<int64_t>(upper) - lower + 1);
}

// Windows ABI types spelled portably, so that portable headers can declare the
// system's Windows-facing entry points without including a Windows header.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define QUARN_STDCALL __stdcall
#else
#define QUARN_STDCALL
#endif

// Laid out as the Windows GUID, which the adapters convert it to.
struct QuarnGuid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

inline bool operator==(const QuarnGuid& a, const QuarnGuid& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}

// GUID_DEVINTERFACE_NET, the network-adapter interface class both modems belong to.
constexpr QuarnGuid QUARN_GUID_DEVINTERFACE_NET = {0xCAC88484, 0x7515, 0x4C03,
                                                   {0x82, 0xE6, 0x71, 0xA8, 0x7A, 0xBA, 0xC3, 0x61}};

// Windows' BOOL, DWORD and HRESULT.
using QuarnBool = int;
using QuarnDword = unsigned long;
using QuarnHresult = int32_t;

constexpr QuarnHresult QUARN_S_OK = 0;
constexpr QuarnHresult QUARN_S_FALSE = 1;
constexpr QuarnHresult QUARN_E_FAIL = static_cast<QuarnHresult>(0x80004005u);

// Windows ABI types spelled portably, so that portable headers can declare the
// system's Windows-facing entry points without including a Windows header.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define QUARN_STDCALL __stdcall
struct _GUID;
using QuarnGuid = _GUID;
#else
#define QUARN_STDCALL
struct QuarnGuid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
#endif

// Windows' BOOL, DWORD and HRESULT.
using QuarnBool = int;
using QuarnDword = unsigned long;
using QuarnHresult = int32_t;

constexpr QuarnHresult QUARN_S_OK = 0;
constexpr QuarnHresult QUARN_E_FAIL = static_cast<QuarnHresult>(0x80004005u);

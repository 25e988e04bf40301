// Small owners of COM references, Windows Runtime strings and HRESULT failures.
#pragma once

#include <windows.h>
#include <winstring.h>

#include <cwchar>
#include <string>
#include <utility>

#include "common/hresult_error.h"

template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    // Takes over a reference the caller owns (a new object's first one).
    explicit ComPtr(T* owned) : m_Ptr(owned) {}
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : m_Ptr(std::exchange(other.m_Ptr, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            m_Ptr = std::exchange(other.m_Ptr, nullptr);
        }
        return *this;
    }

    // For an out-parameter: releases what is held first.
    T** Put() {
        Reset();
        return &m_Ptr;
    }
    T* Get() const { return m_Ptr; }
    T* operator->() const { return m_Ptr; }
    explicit operator bool() const { return m_Ptr != nullptr; }
    void Reset() {
        if (m_Ptr != nullptr) {
            std::exchange(m_Ptr, nullptr)->Release();
        }
    }

private:
    T* m_Ptr = nullptr;
};

class HStringRef {
public:
    explicit HStringRef(const wchar_t* text) {
        WindowsCreateString(text, static_cast<UINT32>(std::wcslen(text)), &m_Value);
    }
    ~HStringRef() { WindowsDeleteString(m_Value); }
    HStringRef(const HStringRef&) = delete;
    HStringRef& operator=(const HStringRef&) = delete;
    HSTRING Get() const { return m_Value; }

private:
    HSTRING m_Value = nullptr;
};

// The system's text for an HRESULT, empty when it has none.
inline std::wstring HresultMessage(HRESULT code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring message(text != nullptr ? text : L"", length);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
        message.pop_back();
    }
    return message;
}

inline void ThrowIfFailed(HRESULT code) {
    if (FAILED(code)) {
        throw HresultError(code, HresultMessage(code));
    }
}

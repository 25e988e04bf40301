// A failed platform call on the Windows Runtime or COM side, carried as an exception
// inside the application: its HRESULT and the system's message for it (may be empty).
// Like the Windows Runtime's own error type, it is no std::exception, so handlers catch it
// after the standard ones.
#pragma once

#include <cstdint>
#include <string>

class HresultError {
public:
    HresultError(int32_t code, std::wstring message) : m_Code(code), m_Message(std::move(message)) {}
    int32_t code() const { return m_Code; }
    const std::wstring& message() const { return m_Message; }

private:
    int32_t m_Code;
    std::wstring m_Message;
};

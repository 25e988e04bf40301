// Wide text as UTF-8, for the trace and for the modem, without a way to fail.
#pragma once

#include <filesystem>
#include <string>

// UTF-16 surrogate pairs are joined (where wchar_t is 16 bits); a surrogate without its pair,
// which Windows file names may hold, and any value past U+10FFFF become U+FFFD.
std::string WideToUtf8String(const std::wstring& text);

// A path as UTF-8 for a log line: its wide native text converted, or its narrow native text
// (already UTF-8 where paths are narrow) as it is.
inline std::string NativeToUtf8(const std::wstring& text) { return WideToUtf8String(text); }
inline std::string NativeToUtf8(const std::string& text) { return text; }
inline std::string PathToUtf8(const std::filesystem::path& path) { return NativeToUtf8(path.native()); }

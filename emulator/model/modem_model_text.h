// The request language that modem_model*.cpp share: words, numbers, HRESULTs, replies, names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu {
namespace model_text {

// The vendor AT device service, as the facades name it in their requests.
constexpr const char* kVendorAtService = "{DA138C64-6515-4893-92B2-A1E1CA7C81CA}";

std::vector<std::string> SplitWords(const std::string& line);

std::string Upper(std::string text);

bool ParseNumber(const std::string& text, uint32_t* value);

// An HRESULT as scripted: 1 to 8 hex digits, "0x" optional.
bool ParseHex(const std::string& text, uint32_t* value);

std::string HexResult(uint32_t value);

// Scripted response bytes: byte i is i & 0xFF, so a lost, doubled or cut byte shows.
std::string PatternBytes(std::size_t count);

// Whether `name` is one of the event interfaces whose connection points can be scripted.
bool IsMbnEventInterface(const std::string& name);

// The index of a request kind in kMbnRequests (open, close, set, query), or -1.
int MbnRequestIndex(const std::string& name);

std::string Ok(const std::string& data = "");
std::string Error(const std::string& why);

}  // namespace model_text
}  // namespace emu

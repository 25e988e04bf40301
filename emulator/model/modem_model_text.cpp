// The model's request language: words, numbers, HRESULTs, replies, and payload bytes as text.
#include "emulator/model/modem_model_text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <sstream>

#include "emulator/model/modem_model.h"

namespace emu {
namespace model_text {

namespace {

// The event interfaces whose connection points can be scripted, by name without "IMbn".
constexpr const char* kMbnEventInterfaces[] = {
    "InterfaceManagerEvents", "InterfaceEvents", "RegistrationEvents", "SignalEvents",
    "RadioEvents", "ConnectionManagerEvents", "ConnectionEvents", "DeviceServicesEvents"};

constexpr const char* kMbnRequests[] = {"open", "close", "set", "query"};

}  // namespace

std::vector<std::string> SplitWords(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

bool ParseNumber(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
        return false;
    }
    *value = static_cast<uint32_t>(std::stoul(text));
    return true;
}

bool ParseHex(const std::string& text, uint32_t* value) {
    const std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 8 || !std::all_of(digits.begin(), digits.end(), ::isxdigit)) {
        return false;
    }
    *value = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
    return true;
}

std::string HexResult(uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string PatternBytes(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<char>(i & 0xFF);
    }
    return bytes;
}

bool IsMbnEventInterface(const std::string& name) {
    return std::find(std::begin(kMbnEventInterfaces), std::end(kMbnEventInterfaces), name) !=
           std::end(kMbnEventInterfaces);
}

int MbnRequestIndex(const std::string& name) {
    for (int i = 0; i < 4; ++i) {
        if (name == kMbnRequests[i]) {
            return i;
        }
    }
    return -1;
}

std::string Ok(const std::string& data) { return data.empty() ? "ok" : "ok " + data; }
std::string Error(const std::string& why) { return "error: " + why; }

}  // namespace model_text

std::string ToHex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 0xF];
    }
    return hex;
}

bool FromHex(const std::string& hex, std::string* bytes) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    bytes->clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) || !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
            return false;
        }
        bytes->push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return true;
}

std::string Escape(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\\' || c == '"') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof(hex), "\\x%02X", c);
            text += hex;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

}  // namespace emu

// Helpers of the tests that check the API declarations of compat/ against the recorded
// API facts: how GCC lays out virtual member pointers (the COM slot), reading the facts'
// Markdown tables, and where the facts file is.
#pragma once

#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace api_facts {

inline std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof(text), "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// GCC lays out a pointer to a virtual member function as {1 + byte offset in the vtable,
// this-adjustment} (the Itanium C++ ABI, which mingw-w64's GCC uses); that offset is the
// COM slot. Each test's SlotProbeMatchesKnownSlots confirms this on known interfaces.
template <class Member>
long SlotOf(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(void*), "unexpected member pointer layout");
    struct {
        std::uintptr_t ptr;
        std::ptrdiff_t adjust;
    } rep;
    std::memcpy(&rep, &member, sizeof(rep));
    if ((rep.ptr & 1) == 0) return -1;  // not virtual
    return static_cast<long>((rep.ptr - 1) / sizeof(void*));
}

// The first virtual added by a derived class lands right after the base's last slot.
template <class Interface>
struct VtableEnd : Interface {
    virtual void QuarnProbeAfterLastSlot() = 0;
};

template <class Interface>
inline long SlotCount() {
    return SlotOf(&VtableEnd<Interface>::QuarnProbeAfterLastSlot);
}

inline std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

inline std::vector<std::string> Cells(const std::string& line) {
    std::vector<std::string> cells;
    std::stringstream stream(line);
    std::string cell;
    while (std::getline(stream, cell, '|')) cells.push_back(Trim(cell));
    if (!cells.empty() && cells.front().empty()) cells.erase(cells.begin());
    if (!cells.empty() && cells.back().empty()) cells.pop_back();
    return cells;
}

// Content of the first code span; ``…`` spans may hold a backtick (generic arity).
inline std::string FirstCode(const std::string& text) {
    const auto dbl = text.find("``");
    if (dbl != std::string::npos) {
        const auto end = text.find("``", dbl + 2);
        if (end != std::string::npos) return Trim(text.substr(dbl + 2, end - dbl - 2));
    }
    const auto open = text.find('`');
    if (open == std::string::npos) return {};
    const auto close = text.find('`', open + 1);
    if (close == std::string::npos) return {};
    return text.substr(open + 1, close - open - 1);
}

inline std::string FindGuid(const std::string& text) {
    static const std::regex guid(
        "[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}");
    std::smatch match;
    if (!std::regex_search(text, match, guid)) return {};
    std::string found = match.str();
    for (char& c : found) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return found;
}

inline bool IsInteger(const std::string& text) {
    static const std::regex integer("-?[0-9]+");
    return std::regex_match(text, integer);
}

// The facts file: `envName` if set, else FILE in the shared API facts folder beside the
// sources. Under Wine the Linux file system is drive Z:.
inline std::string FactsPath(const char* envName, const char* fileName) {
    std::string path;
    if (const char* env = std::getenv(envName); env != nullptr && *env != '\0') {
        path = env;
    } else {
#if defined(QUARN_SOURCE_DIR)
        path = std::string(QUARN_SOURCE_DIR) + "/../shared/winapi/" + fileName;
#endif
    }
#if defined(_WIN32)
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
        for (char& c : path) {
            if (c == '/') {
                c = '\\';
            }
        }
    }
#endif
    return path;
}

}  // namespace api_facts

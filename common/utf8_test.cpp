#include "common/utf8.h"

#include <gtest/gtest.h>

namespace {

TEST(WideToUtf8String, EncodesEveryPlaneAndReplacesWhatIsNoCharacter) {
    struct Case {
        std::wstring text;
        std::string utf8;
    };
    std::vector<Case> cases = {
        {L"", ""},
        {L"at+csus?\r\n", "at+csus?\r\n"},
        {L"\u00E9", "\xC3\xA9"},
        {L"\u65E5\u672C", "\xE6\x97\xA5\xE6\x9C\xAC"},
        {std::wstring(1, wchar_t(0xDC00)) + L"a", "\xEF\xBF\xBD" "a"},  // a low surrogate alone
    };
    if (sizeof(wchar_t) == 2) {
        cases.push_back({{wchar_t(0xD83D), wchar_t(0xDE00)}, "\xF0\x9F\x98\x80"});  // a pair: U+1F600
        cases.push_back({{wchar_t(0xD83D)}, "\xEF\xBF\xBD"});                      // a high one at the end
        cases.push_back({{wchar_t(0xD83D), L'x'}, "\xEF\xBF\xBDx"});              // followed by no low one
        cases.push_back({{wchar_t(0xD83D), wchar_t(0xD83D), wchar_t(0xDE00)}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"});
    } else {
        cases.push_back({{wchar_t(0x1F600)}, "\xF0\x9F\x98\x80"});
        cases.push_back({{static_cast<wchar_t>(0x110000)}, "\xEF\xBF\xBD"});  // past the last code point
        cases.push_back({{wchar_t(0xD83D), wchar_t(0xDE00)}, "\xEF\xBF\xBD\xEF\xBF\xBD"});  // no pairs in UTF-32
    }
    for (const Case& c : cases) {
        EXPECT_EQ(WideToUtf8String(c.text), c.utf8) << ::testing::PrintToString(c.utf8);
    }
}

}  // namespace

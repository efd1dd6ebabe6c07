#include "process/text.h"

#include <gtest/gtest.h>

using Lines = std::vector<std::string_view>;

TEST(SplitLines, TrimsNewlinesAtBothEndsAndSplitsAtLineFeedOnly) {
    const std::vector<std::pair<std::string, Lines>> cases = {
        {"a\nb\n", {"a", "b"}},
        {"\n\na\n\nb\n\n", {"a", "", "b"}},
        {"", {""}},
        {"\r\n\xC2\x85\xE2\x80\xA8\xE2\x80\xA9\v\f", {""}},
        {"\xE2\x80\xA9 a\t\r\nb \xC2\x85", {" a\t\r", "b "}},
        {"a\xE2\x80\xA8"
         "b\rc",
         {"a\xE2\x80\xA8"
          "b\rc"}},
        {"caf\xC3\xA9\n\xE2\x80\xA8", {"caf\xC3\xA9"}},
        // A one-byte newline before the first name, and a last byte below LF.
        {"\nWi-Fi\n", {"Wi-Fi"}},
        {"Wi-Fi\t", {"Wi-Fi\t"}},
    };
    for (const auto& [text, lines] : cases) {
        EXPECT_EQ(splitLines(text), lines) << testing::PrintToString(text);
    }
}

TEST(SplitLines, IllFormedTextGivesNoLines) {
    EXPECT_TRUE(splitLines("a\n\xFF\n").empty());
    EXPECT_TRUE(splitLines("\xC2").empty());  // cut off after its lead byte
}

TEST(Utf8, StrictValidation) {
    for (const char* ok : {"", "plain", "\xC2\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBD",
                           "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_TRUE(isValidUtf8(ok)) << testing::PrintToString(ok);
    }
    for (const char* bad : {"\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",  // overlong
                            "\xED\xA0\x80", "\xED\xBF\xBF",                              // surrogates
                            "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",              // too large
                            "\x80", "\xE2\x82", "a\xF0\x90\x80"}) {                      // stray, cut off
        EXPECT_FALSE(isValidUtf8(bad)) << testing::PrintToString(bad);
    }
}

TEST(Utf8, EachMaximalIllFormedSubpartBecomesOneReplacement) {
    const std::string r = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"ab\xFF"
         "cd",
         "ab" + r + "cd"},
        {"\xE2\x82", r},
        {"\xE2\x82"
         "a",
         r + "a"},
        {"\xC0\xAF", r + r},
        {"\xED\xA0\x80", r + r + r},
        {"\xF0\x90\x80\xF0\x90\x80\x80", r + "\xF0\x90\x80\x80"},
        // The Unicode standard's own worked example.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         "a" + r + r + r + "b" + r + "c" + r + r + "d"},
        {"already \xE2\x82\xAC valid", "already \xE2\x82\xAC valid"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(decodeUtf8Lossy(in), out) << testing::PrintToString(in);
    }
}

// Every message is one line: what gets escaped, and that everything else (the fixed texts, UTF-8, backslashes)
// passes byte for byte.
#include "front/message_line.h"

#include <gtest/gtest.h>

#include <string>

namespace qfx {
namespace {

TEST(MessageLineTest, ControlCharactersAreEscapedAndEverythingElsePasses) {
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {"Unable to start audio writer: Unknown AVAssetWriter error",
         "Unable to start audio writer: Unknown AVAssetWriter error"},
        {"", ""},
        {"a\nb", "a\\nb"},
        {"a\r\nb\n", "a\\r\\nb\\n"},
        {"tab\there", "tab\\there"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"\x1b[2Jbell\x07\x7f", "\\x1B[2Jbell\\x07\\x7F"},
        {"C:\\dir\\n", "C:\\dir\\n"}, // a backslash is the path's own
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5"}, // UTF-8 text
        {"next\xc2\x85line", "next\\u0085line"},                                                    // NEL
        {"\xc2\x9b"
         "31m",
         "\\u009B31m"}, // C1 control sequence introducer
        {"a\xe2\x80\xa8"
         "b\xe2\x80\xa9",
         "a\\u2028b\\u2029"},                             // line and paragraph separators
        {"\xc2\xa0\xe2\x80\xa7", "\xc2\xa0\xe2\x80\xa7"}, // neighbours that are no breaks
        {"bad \xff\xc2", "bad \xff\xc2"},                 // not UTF-8, and cut short: unchanged
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(oneLine(c.text), c.shown);
    }
}

} // namespace
} // namespace qfx

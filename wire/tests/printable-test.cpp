// Client names on other users' terminals: controls escaped, text kept.
#include "wire/printable.h"

#include <gtest/gtest.h>

namespace wire {
namespace {

TEST(PrintableText, EscapesTerminalCommandsAndKeepsText) {
    EXPECT_EQ(printable_text("tolvan-terminal"), "tolvan-terminal");
    EXPECT_EQ(printable_text("Grüße, 日本, 🙂 C:\\tools\\ide"), "Grüße, 日本, 🙂 C:\\tools\\ide");
    EXPECT_EQ(printable_text(""), "");
    // The name from the report: screen clear, window title, forged line.
    EXPECT_EQ(printable_text("x\x1b[2J\x1b]0;pwned\a\nFAKE LINE"), "x\\x1B[2J\\x1B]0;pwned\\x07\\x0AFAKE LINE");
    EXPECT_EQ(printable_text(std::string("a\0b\rc\x7f", 6)), "a\\x00b\\x0Dc\\x7F");
    // C1 controls, as UTF-8 (U+009B, a CSI) and as single bytes.
    EXPECT_EQ(printable_text("\xc2\x9b" "2J"), "\\xC2\\x9B2J");
    EXPECT_EQ(printable_text("\x9b" "2J"), "\\x9B2J");
    EXPECT_EQ(printable_text("\xc2\xa0"), "\xc2\xa0");  // U+00A0 is printable
}

TEST(PrintableText, EscapesBrokenUtf8ByteByByte) {
    EXPECT_EQ(printable_text("\xc3"), "\\xC3");                    // cut short
    EXPECT_EQ(printable_text("\xc3x"), "\\xC3x");                  // continuation missing
    EXPECT_EQ(printable_text("\xc0\xaf"), "\\xC0\\xAF");           // overlong '/'
    EXPECT_EQ(printable_text("\xe0\x80\xaf"), "\\xE0\\x80\\xAF");  // overlong, three bytes
    EXPECT_EQ(printable_text("\xed\xa0\x80"), "\\xED\\xA0\\x80");  // a surrogate
    EXPECT_EQ(printable_text("\xf4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");  // beyond U+10FFFF
    EXPECT_EQ(printable_text("\xf0\x9f\x99"), "\\xF0\\x9F\\x99");  // four bytes cut short
    EXPECT_EQ(printable_text("\xff\xfe"), "\\xFF\\xFE");
}

}  // namespace
}  // namespace wire

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ScratchMachine.h"
#include "support/TraceListener.h"
#include "base/StrConv.h"
#include "base/StrUtils.h"

namespace {

using Strings = std::vector<std::string>;

TEST(StrUtils, QuotePath) {
    EXPECT_EQ(mfStrQuotePath(""), "\"\"");
    EXPECT_EQ(mfStrQuotePath("/opt/a b/TI"), "\"/opt/a b/TI\"");
    EXPECT_EQ(mfStrQuotePath("\"/opt/a b/TI\""), "\"/opt/a b/TI\"");
    EXPECT_EQ(mfStrQuotePath("\"/opt/x"), "\"/opt/x\"");
    EXPECT_EQ(mfStrQuotePath("/opt/x\""), "\"/opt/x\"");
}

TEST(StrUtils, PathPieces) {
    EXPECT_EQ(mfStrGetDriveAndDirFromPath("/a/b/c.txt"), "/a/b/");
    EXPECT_EQ(mfStrGetDriveAndDirFromPath("/c.txt"), "/");
    EXPECT_EQ(mfStrGetDriveAndDirFromPath("c.txt"), "");
    EXPECT_EQ(mfStrGetDriveAndDirFromPath("a/b/"), "a/b/");
    EXPECT_EQ(mfStrGetDriveAndDirFromPath(""), "");  // reports an assertion, carries on

    EXPECT_EQ(mfStrGetFileNameFromPath("/a/b/c.txt"), "c.txt");
    EXPECT_EQ(mfStrGetFileNameFromPath("c.tar.gz"), "c.tar.gz");
    EXPECT_EQ(mfStrGetFileNameFromPath("/a/b/"), "");
    EXPECT_EQ(mfStrGetFileNameFromPath(""), "");
}

TEST(StrUtils, EmptyPathReportsItsAssertion) {
    testsupport::ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    ASSERT_TRUE(listener.IsBound());
    EXPECT_EQ(mfStrGetDriveAndDirFromPath(""), "");
    std::optional<mcDiagTrace::Datagram> line;
    do {
        line = listener.ReceiveFrom("CORE");
    } while (line && line->command != mcDiagTrace::kCmdLine);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->text,
              "Assertion failed,\"!NARROW(\"strSourceName is invalid\")\",mfStrGetDriveAndDirFromPath(),"
              "StrUtils.cpp(616)");
}

TEST(StrUtils, PathJoinKeepsExactlyOneSeparator) {
    EXPECT_EQ(mfPathJoin("/a/", "/b"), "/a/b");
    EXPECT_EQ(mfPathJoin("/a//", "//b/c"), "/a/b/c");
    EXPECT_EQ(mfPathJoin("/a", "b"), "/a/b");
    EXPECT_EQ(mfPathJoin("/", "b"), "/b");
    EXPECT_EQ(mfPathJoin("", "/b"), "/b");
    EXPECT_EQ(mfPathJoin("a/", ""), "a/");
}

TEST(StrUtils, TrimRecognisesUnicodeSpaceOnlyOnCharacterBoundaries) {
    EXPECT_EQ(mfStrTrim(" \t\r\n abc def \v\f"), "abc def");
    EXPECT_EQ(mfStrTrimLeft("  abc  "), "abc  ");
    EXPECT_EQ(mfStrTrimRight("  abc  "), "  abc");
    EXPECT_EQ(mfStrTrim("\xC2\xA0\xE3\x80\x80x\xE2\x80\x83"), "x");  // NBSP, ideographic space, em space
    EXPECT_EQ(mfStrTrim("   "), "");
    EXPECT_EQ(mfStrTrim(""), "");
    // "à" ends in the byte 0xA0, the last byte of a UTF-8 NBSP: it stays.
    EXPECT_EQ(mfStrTrimRight("l\xC3\xA0 "), "l\xC3\xA0");
    // A stray byte is not white space.
    EXPECT_EQ(mfStrTrim(" \xA0 "), "\xA0");
}

TEST(StrUtils, StripTrailing) {
    EXPECT_EQ(mfStrStripTrailing(std::string("abc\0\0", 5), '\0'), "abc");
    EXPECT_EQ(mfStrStripTrailing("/a/b//", '/'), "/a/b");
    EXPECT_EQ(mfStrStripTrailing("///", '/'), "");
    EXPECT_EQ(mfStrStripTrailing("a/b", '/'), "a/b");
}

TEST(StrUtils, CompareNoCase) {
    EXPECT_EQ(mfStrCompareNoCase("ComponentMgr", "COMPONENTMGR"), 0);
    EXPECT_EQ(mfStrCompareNoCase("", ""), 0);
    EXPECT_EQ(mfStrCompareNoCase("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89"), 0);  // Été / éTÉ
    EXPECT_EQ(mfStrCompareNoCase("\xCE\xA3\xCE\x91\xCE\xA3", "\xCF\x83\xCE\xB1\xCF\x82"), 0);  // ΣΑΣ / σας
    EXPECT_LT(mfStrCompareNoCase("a", "B"), 0);
    EXPECT_GT(mfStrCompareNoCase("b", "A"), 0);
    EXPECT_LT(mfStrCompareNoCase("ab", "ABC"), 0);
    EXPECT_GT(mfStrCompareNoCase("ABC", "ab"), 0);
    // Simple folding does not expand: sharp s is not "ss".
    EXPECT_NE(mfStrCompareNoCase("stra\xC3\x9F" "e", "STRASSE"), 0);
    // Invalid bytes compare by value and never equal a character.
    EXPECT_EQ(mfStrCompareNoCase("x\xFF", "X\xFF"), 0);
    EXPECT_GT(mfStrCompareNoCase("\xFF", "\xFE"), 0);
    EXPECT_NE(mfStrCompareNoCase("\xC3", "\xC3\x83"), 0);

    // The order is the order of the folded texts.
    const Strings words = {"Apple", "apricot", "\xC3\x89t\xC3\xA9", "zeta", "Zebra", "", "a", "A",
                           "\xF0\x9F\x98\x80", "\xEF\xBC\xA1"};
    for (const std::string& a : words) {
        for (const std::string& b : words) {
            const int expected = mfStrFoldCase(a).compare(mfStrFoldCase(b));
            const int got = mfStrCompareNoCase(a, b);
            EXPECT_EQ((got > 0) - (got < 0), (expected > 0) - (expected < 0)) << a << " / " << b;
        }
    }
}

TEST(StrUtils, UrlEncode) {
    EXPECT_EQ(mfUrlEncode("a b", false), "a%20b");
    EXPECT_EQ(mfUrlEncode("AZaz09", true), "AZaz09");
    EXPECT_EQ(mfUrlEncode("!()*-._", false), "!()*-._");
    EXPECT_EQ(mfUrlEncode("!()*-._", true), "%21%28%29%2A%2D%2E%5F");
    EXPECT_EQ(mfUrlEncode("a/b?c=d&e~", false), "a%2Fb%3Fc%3Dd%26e%7E");
    EXPECT_EQ(mfUrlEncode("\xC3\xA9", false), "%E9");                 // é
    EXPECT_EQ(mfUrlEncode("\xC3\xBF", false), "%FF");                 // ÿ, the last two-digit code
    EXPECT_EQ(mfUrlEncode("\xC4\x80", false), "%0100");               // Ā, the first four-digit code
    EXPECT_EQ(mfUrlEncode("\xE2\x98\xBA", false), "%263A");           // ☺
    EXPECT_EQ(mfUrlEncode("\xF0\x9F\x98\x80", false), "%D83D%DE00");  // 😀 as UTF-16 surrogates
    EXPECT_EQ(mfUrlEncode(std::string("\x01\x00", 2), false), "%01%00");
    EXPECT_EQ(mfUrlEncode("a\xFF" "b", false), "a%FFb");              // invalid byte
    EXPECT_EQ(mfUrlEncode("", true), "");
}

TEST(StrUtils, Split) {
    struct Case {
        std::string text;
        std::string delimiter;
        Strings expected;
    };
    const Case cases[] = {
        {"a,b,c", ",", {"a", "b", "c"}},
        {",a,,b,", ",", {"a", "b"}},
        {",,,", ",", {}},
        {"", ",", {}},
        {"abc", "", {"abc"}},
        {"abc", ";", {"abc"}},
        {"a--b---c", "--", {"a", "b", "-c"}},
        {"HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", "\r\n", {"HTTP/1.1 200 OK", "A: 1"}},
        // The installer's open command: the path between quotes comes first.
        {"\"/opt/tavrolin/jukebox/TI\" \"%1\"", "\"", {"/opt/tavrolin/jukebox/TI", " ", "%1"}},
    };
    for (const Case& c : cases) {
        Strings list = {"stale"};
        mfStrSplit(c.text, c.delimiter, list, true, 8);
        EXPECT_EQ(list, c.expected) << c.text;
    }
    Strings list = {"keep"};
    mfStrSplit("x y", " ", list, false, 0);
    EXPECT_EQ(list, (Strings{"keep", "x", "y"}));
    mfStrSplit("", " ", list, false, 0);
    EXPECT_EQ(list.size(), 3u);
}

}  // namespace

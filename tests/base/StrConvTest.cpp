#include <gtest/gtest.h>

#include <string>

#include "base/StrConv.h"
#include "base/Win32Error.h"
#include "base/mcWin32Exc.h"

namespace {

const std::string kSmiley = "\xE2\x98\xBA";         // U+263A
const std::string kGrinning = "\xF0\x9F\x98\x80";   // U+1F600
const std::string kEAcute = "\xC3\xA9";             // U+00E9
const std::string kReplacement = "\xEF\xBF\xBD";    // U+FFFD

// Runs f, expects mcWin32Exc from function with description prefix text and
// the given Win32 error.
template <typename F>
void ExpectConvFailure(F f, const std::string& function, std::uint32_t win32Error) {
    try {
        f();
        ADD_FAILURE() << "no exception from " << function;
    } catch (const mcWin32Exc& e) {
        EXPECT_EQ(e.Function(), function);
        EXPECT_EQ(e.Description().rfind(function + " failed - Win32 Error: ", 0), 0u) << e.Description();
        EXPECT_EQ(e.GetWin32Error(), win32Error);
        EXPECT_EQ(mfGetLastError(), win32Error);
    }
}

TEST(StrConv, EmptyInputGivesEmptyOutputEvenForUnknownCodePages) {
    EXPECT_EQ(mfConvertWideToMBCS("", 12345), "");
    EXPECT_EQ(mfConvertMBCSToWide("", 12345), "");
}

TEST(StrConv, Utf8CodePageValidatesAndCopies) {
    const std::string text = "a" + kEAcute + kSmiley + kGrinning;
    EXPECT_EQ(mfConvertWideToMBCS(text, CP_UTF8), text);
    EXPECT_EQ(mfConvertMBCSToWide(text, CP_UTF8), text);
    // Invalid forms: lone continuation, truncated sequence, overlong "/",
    // surrogate, above U+10FFFF.
    for (const std::string bad : {"\x80", "a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"}) {
        ExpectConvFailure([&] { mfConvertMBCSToWide(bad, CP_UTF8); }, "mfConvertMBCSToWide",
                          ERROR_NO_UNICODE_TRANSLATION);
        ExpectConvFailure([&] { mfConvertWideToMBCS(bad, CP_UTF8); }, "mfConvertWideToMBCS",
                          ERROR_NO_UNICODE_TRANSLATION);
    }
    EXPECT_EQ(mfConvertMBCSToWide("a\xFF" "b\xC3", CP_UTF8, kStrConvReplaceInvalid),
              "a" + kReplacement + "b" + kReplacement);
}

TEST(StrConv, Cp1252RoundTripAndFailures) {
    const std::string text = "caf" + kEAcute + " \xE2\x82\xAC";  // café €
    const std::string bytes = mfConvertWideToMBCS(text, 1252);
    EXPECT_EQ(bytes, "caf\xE9 \x80");
    EXPECT_EQ(mfConvertMBCSToWide(bytes, 1252), text);

    // A character the code page does not have.
    ExpectConvFailure([&] { mfConvertWideToMBCS("x" + kSmiley, 1252); }, "mfConvertWideToMBCS",
                      ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(mfConvertWideToMBCS("x" + kSmiley + "y", 1252, kStrConvReplaceInvalid), "x?y");
    // Invalid UTF-8 going out is replaced before the code page sees it.
    EXPECT_EQ(mfConvertWideToMBCS("x\xFFy", 1252, kStrConvReplaceInvalid), "x?y");
    // 0x81 is unassigned in code page 1252.
    ExpectConvFailure([&] { mfConvertMBCSToWide("a\x81", 1252); }, "mfConvertMBCSToWide",
                      ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(mfConvertMBCSToWide("a\x81z", 1252, kStrConvReplaceInvalid), "a" + kReplacement + "z");
}

TEST(StrConv, UnknownCodePageFailsWithInvalidParameter) {
    ExpectConvFailure([] { mfConvertWideToMBCS("abc", 4242); }, "mfConvertWideToMBCS", ERROR_INVALID_PARAMETER);
    ExpectConvFailure([] { mfConvertMBCSToWide("abc", 4242); }, "mfConvertMBCSToWide", ERROR_INVALID_PARAMETER);
}

TEST(StrConv, CodePageConversionRecordsCarryTheirFixedLines) {
    const auto lineOf = [](auto f) {
        try {
            f();
        } catch (const mcWin32Exc& e) {
            return e.Line();
        }
        return -1;
    };
    EXPECT_EQ(lineOf([] { mfConvertWideToMBCS("\xFF", CP_UTF8); }), 270);
    EXPECT_EQ(lineOf([] { mfConvertWideToMBCS("x" + kSmiley, 1252); }), 270);
    EXPECT_EQ(lineOf([] { mfConvertWideToMBCS("abc", 4242); }), 270);
    EXPECT_EQ(lineOf([] { mfConvertMBCSToWide("\xFF", CP_UTF8); }), 315);
    EXPECT_EQ(lineOf([] { mfConvertMBCSToWide("a\x81", 1252); }), 315);
    EXPECT_EQ(lineOf([] { mfConvertMBCSToWide("abc", 4242); }), 315);
}

TEST(StrConv, CodePageNames) {
    EXPECT_EQ(mfCodePageCharset(65001), "UTF-8");
    EXPECT_EQ(mfCodePageCharset(1252), "CP1252");
    EXPECT_EQ(mfCodePageCharset(28591), "ISO-8859-1");
    EXPECT_EQ(mfCodePageCharset(28605), "ISO-8859-15");
    EXPECT_EQ(mfCodePageCharset(0), mfCodePageCharset(CP_THREAD_ACP));
    EXPECT_FALSE(mfCodePageCharset(0).empty());
}

TEST(StrConv, SystemCodePageRoundTrips) {
    // Whatever the locale's character set, plain ASCII survives both ways, and
    // in a UTF-8 (or unconfigured) locale so does everything else.
    EXPECT_EQ(mfConvertMBCSToWide(mfConvertWideToMBCS("Plain text 123")), "Plain text 123");
    if (mfCodePageCharset(0) == "UTF-8") {
        const std::string text = kEAcute + kSmiley + kGrinning;
        EXPECT_EQ(mfConvertMBCSToWide(mfConvertWideToMBCS(text)), text);
    }
}

TEST(StrConv, StatefulAndMultiByteCodePagesGoThroughIconv) {
    const std::string text = "A" + kSmiley + kGrinning;
    const std::string utf16 = mfConvertWideToMBCS(text, CP_UTF16BE);
    EXPECT_EQ(utf16, std::string("\x00\x41\x26\x3A\xD8\x3D\xDE\x00", 8));
    EXPECT_EQ(mfConvertMBCSToWide(utf16, CP_UTF16BE), text);
    // ISO-2022-JP needs the final shift back to ASCII.
    const std::string japanese = "\xE6\x97\xA5\xE6\x9C\xAC";  // 日本
    const std::string jis = mfConvertWideToMBCS(japanese, 50220);
    EXPECT_EQ(jis.substr(jis.size() - 3), "\x1B(B");
    EXPECT_EQ(mfConvertMBCSToWide(jis, 50220), japanese);
}

TEST(StrConv, Utf16LeBothWays) {
    const std::string text = "A" + kEAcute + kSmiley + kGrinning;
    const std::string bytes = mfUtf8ToUtf16Le(text);
    EXPECT_EQ(bytes, std::string("A\x00\xE9\x00\x3A\x26\x3D\xD8\x00\xDE", 10));
    EXPECT_EQ(mfUtf16LeToUtf8(bytes), text);
    EXPECT_EQ(mfUtf16ToUtf8(mfUtf8ToUtf16(text)), text);
    EXPECT_EQ(mfUtf8ToUtf16(kGrinning), (std::u16string{0xD83D, 0xDE00}));

    // Odd byte count, unpaired surrogates, invalid UTF-8.
    ExpectConvFailure([] { mfUtf16LeToUtf8(std::string("A\x00" "B", 3)); }, "mfUtf16LeToUtf8",
                      ERROR_NO_UNICODE_TRANSLATION);
    ExpectConvFailure([] { mfUtf16LeToUtf8(std::string("\x3D\xD8" "A\x00", 4)); }, "mfUtf16LeToUtf8",
                      ERROR_NO_UNICODE_TRANSLATION);
    ExpectConvFailure([] { mfUtf16ToUtf8(std::u16string{0xDE00}); }, "mfUtf16ToUtf8",
                      ERROR_NO_UNICODE_TRANSLATION);
    ExpectConvFailure([] { mfUtf8ToUtf16Le("a\xC3"); }, "mfUtf8ToUtf16Le", ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(mfUtf16LeToUtf8(std::string("\x3D\xD8" "A\x00" "B", 5), kStrConvReplaceInvalid),
              kReplacement + "A" + kReplacement);
    EXPECT_EQ(mfUtf8ToUtf16Le("\xFF", kStrConvReplaceInvalid), std::string("\xFD\xFF", 2));
}

TEST(StrConv, Utf8DecodeIsStrictAndAdvancesOneByteOnErrors) {
    struct Case {
        std::string text;
        bool valid;
        char32_t cp;
        std::size_t length;
    };
    const Case cases[] = {
        {"A", true, U'A', 1},
        {"\xC2\x80", true, 0x80, 2},
        {"\xDF\xBF", true, 0x7FF, 2},
        {"\xE0\xA0\x80", true, 0x800, 3},
        {"\xEF\xBF\xBF", true, 0xFFFF, 3},
        {"\xF0\x90\x80\x80", true, 0x10000, 4},
        {"\xF4\x8F\xBF\xBF", true, 0x10FFFF, 4},
        {"\xC1\xBF", false, 0xC1, 1},          // overlong
        {"\xE0\x9F\xBF", false, 0xE0, 1},      // overlong
        {"\xF0\x8F\xBF\xBF", false, 0xF0, 1},  // overlong
        {"\xED\xBF\xBF", false, 0xED, 1},      // surrogate
        {"\xF4\x90\x80\x80", false, 0xF4, 1},  // beyond U+10FFFF
        {"\xE2\x98", false, 0xE2, 1},          // truncated
        {"\xE2" "A\xBA", false, 0xE2, 1},      // bad continuation
    };
    for (const Case& c : cases) {
        std::size_t pos = 0;
        char32_t cp = 0;
        EXPECT_EQ(mfUtf8Decode(c.text, pos, cp), c.valid) << c.text;
        EXPECT_EQ(cp, c.cp) << c.text;
        EXPECT_EQ(pos, c.length) << c.text;
        EXPECT_EQ(mfIsValidUtf8(c.text), c.valid && c.length == c.text.size()) << c.text;
    }
    std::string out;
    mfUtf8Append(out, 0xD800);
    EXPECT_EQ(out, kReplacement);
}

TEST(StrConv, SimpleCaseFolding) {
    EXPECT_EQ(mfStrFoldCase("ABC xyz 09"), "abc xyz 09");
    EXPECT_EQ(mfStrFoldCase("\xC3\x80\xC3\x89"), "\xC3\xA0\xC3\xA9");            // ÀÉ -> àé
    EXPECT_EQ(mfStrFoldCase("\xCE\xA3\xCE\xB1\xCF\x82"), "\xCF\x83\xCE\xB1\xCF\x83");  // Σας -> σασ
    EXPECT_EQ(mfFoldCodePoint(0x1E9E), 0xDFu);    // capital sharp s (status S)
    EXPECT_EQ(mfFoldCodePoint(0x1F88), 0x1F80u);  // Greek with prosgegrammeni (status S)
    EXPECT_EQ(mfFoldCodePoint(0x212A), U'k');     // Kelvin sign
    EXPECT_EQ(mfFoldCodePoint(0xB5), 0x3BCu);     // micro sign -> mu
    EXPECT_EQ(mfFoldCodePoint(0x17F), U's');      // long s
    EXPECT_EQ(mfFoldCodePoint(0x130), 0x130u);    // dotted I: only full or Turkic folding
    EXPECT_EQ(mfFoldCodePoint(0xAB70), 0x13A0u);  // Cherokee folds to upper case
    EXPECT_EQ(mfFoldCodePoint(0x10400), 0x10428u);  // Deseret
    EXPECT_EQ(mfFoldCodePoint(0x100), 0x101u);    // stride-2 ranges
    EXPECT_EQ(mfFoldCodePoint(0x101), 0x101u);
    EXPECT_EQ(mfFoldCodePoint(0x110000), 0x110000u);
    // Invalid bytes pass through.
    EXPECT_EQ(mfStrFoldCase("A\xFF" "B"), "a\xFF" "b");
}

TEST(StrConv, CaseFoldingTableIsConsistent) {
    // Folding is idempotent, stays in the valid range, and never lands on a
    // surrogate; ASCII folds only A-Z.
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        const std::uint32_t f = mfFoldCodePoint(cp);
        ASSERT_EQ(mfFoldCodePoint(f), f) << std::hex << cp;
        ASSERT_LE(f, 0x10FFFFu);
        ASSERT_FALSE(f >= 0xD800 && f <= 0xDFFF && f != cp) << std::hex << cp;
        if (cp < 0x80) {
            ASSERT_EQ(f, (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp);
        }
    }
}

}  // namespace

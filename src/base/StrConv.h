#pragma once
// Text conversion between the system's own text (UTF-8 in std::string, the
// "wide" text of the interfaces) and byte encodings named by Windows code page
// numbers, plus UTF-16LE for the file formats that ask for it, UTF-8 decoding
// helpers and simple Unicode case folding.
//
// Every function is reentrant and may be called from any thread. Conversions
// are strict by default: input that is not valid in its encoding, and
// characters the target code page cannot represent, make the call fail (it
// never guesses). Pass kStrConvReplaceInvalid to substitute instead: U+FFFD
// when producing UTF-8 or UTF-16, "?" when producing a byte code page.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Code page numbers with a fixed meaning here.
inline constexpr std::uint32_t CP_ACP = 0;         // the process locale's character set
inline constexpr std::uint32_t CP_OEMCP = 1;       // same as CP_ACP on Linux
inline constexpr std::uint32_t CP_THREAD_ACP = 3;  // same as CP_ACP on Linux
inline constexpr std::uint32_t CP_UTF16LE = 1200;
inline constexpr std::uint32_t CP_UTF16BE = 1201;
inline constexpr std::uint32_t CP_UTF8 = 65001;

// Conversion flag: substitute invalid or unrepresentable characters instead of
// failing. Other flag bits are ignored.
inline constexpr std::uint32_t kStrConvReplaceInvalid = 0x1;

// The iconv name for a code page: 0, 1 and 3 give the process locale's
// character set (nl_langinfo(CODESET) of the locale the environment selects;
// a plain ASCII locale, as in a service started without LANG, counts as
// UTF-8); 65001 "UTF-8"; 1252 "CP1252"; 28591 "ISO-8859-1"; and so on.
// Unknown numbers give "CP" + number, which iconv may refuse. Never throws
// except std::bad_alloc.
std::string mfCodePageCharset(std::uint32_t codePage);

// UTF-8 text -> bytes in codePage. Empty input gives an empty result.
// Failure (unknown code page; invalid UTF-8 or an unrepresentable character
// without kStrConvReplaceInvalid): sets the last error (87 unknown code page,
// 1113 no translation) and throws mcWin32Exc, function "mfConvertWideToMBCS",
// description "mfConvertWideToMBCS failed".
std::string mfConvertWideToMBCS(std::string_view text, std::uint32_t codePage = CP_ACP,
                                std::uint32_t flags = 0);

// Bytes in codePage -> UTF-8 text. Empty input gives an empty result. Failure
// as above with function "mfConvertMBCSToWide", description
// "mfConvertMBCSToWide failed".
std::string mfConvertMBCSToWide(std::string_view bytes, std::uint32_t codePage = CP_ACP,
                                std::uint32_t flags = 0);

// UTF-8 text <-> UTF-16LE bytes (no byte-order mark, no terminator added or
// expected). Invalid UTF-8, unpaired surrogates and an odd byte count fail
// like the conversions above (functions "mfUtf8ToUtf16Le" / "mfUtf16LeToUtf8",
// description the function name + " failed") unless kStrConvReplaceInvalid.
std::string mfUtf8ToUtf16Le(std::string_view text, std::uint32_t flags = 0);
std::string mfUtf16LeToUtf8(std::string_view bytes, std::uint32_t flags = 0);

// Same for UTF-16 in code units.
std::u16string mfUtf8ToUtf16(std::string_view text, std::uint32_t flags = 0);
std::string mfUtf16ToUtf8(std::u16string_view units, std::uint32_t flags = 0);

// Decodes the UTF-8 sequence at pos (pos < text.size()) and moves pos past it.
// Strict: overlong forms, surrogates and code points above U+10FFFF are
// invalid. On an invalid or truncated sequence returns false, sets cp to the
// byte at pos and moves pos by one byte.
bool mfUtf8Decode(std::string_view text, std::size_t& pos, char32_t& cp) noexcept;

// Appends the UTF-8 form of cp; surrogates and values above U+10FFFF append
// U+FFFD.
void mfUtf8Append(std::string& out, char32_t cp);

// True when text is valid UTF-8 in the strict sense of mfUtf8Decode.
bool mfIsValidUtf8(std::string_view text) noexcept;

// Simple Unicode case folding (statuses C and S of the Unicode case-folding
// data, Unicode 14) of one code point; other values come back unchanged.
char32_t mfFoldCodePoint(char32_t cp) noexcept;

// The text with every code point folded; the result of "ignoring case"
// comparisons. Bytes that are not valid UTF-8 are copied unchanged.
std::string mfStrFoldCase(std::string_view text);

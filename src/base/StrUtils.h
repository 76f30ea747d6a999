#pragma once
// String and path functions shared by every subsystem. Text is UTF-8; paths use
// "/" as their only separator. All functions are reentrant and never throw
// except std::bad_alloc.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char kPathSeparator = '/';

// Wraps a path in double quotes for a command line: the empty text becomes two
// double quotes; otherwise a quote is added at the front unless the text starts
// with one and at the end unless it ends with one (an already quoted path comes
// back unchanged).
std::string mfStrQuotePath(std::string_view path);

// Directory part of path up to and including its last "/" ("" when it has
// none; there are no drives). An empty path reports the assertion
// "strSourceName is invalid" on the "CORE" trace source and gives "".
std::string mfStrGetDriveAndDirFromPath(std::string_view path);

// File name and extension: everything after the last "/" ("" for an empty path
// or one that ends with "/").
std::string mfStrGetFileNameFromPath(std::string_view path);

// a + "/" + b with exactly one separator between them: a without its trailing
// "/"s, b without its leading "/"s. An empty a gives b, an empty b gives a.
std::string mfPathJoin(std::string_view a, std::string_view b);

// True for the white-space characters the trim functions remove: the ASCII
// ones (blank, TAB, LF, VT, FF, CR) and the other Unicode White_Space code
// points (U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F,
// U+205F, U+3000).
bool mfIsWhiteSpace(char32_t cp) noexcept;

// Remove white space at the start, the end, or both.
std::string mfStrTrimLeft(std::string_view text);
std::string mfStrTrimRight(std::string_view text);
std::string mfStrTrim(std::string_view text);

// Removes every trailing occurrence of c ("a//" with '/' gives "a").
std::string mfStrStripTrailing(std::string_view text, char c);

// Compares a and b ignoring case (simple Unicode case folding, then code point
// order): 0 when equal, negative when a sorts first, positive otherwise. Bytes
// that are not valid UTF-8 compare by value. Does not allocate.
int mfStrCompareNoCase(std::string_view a, std::string_view b) noexcept;

// URL encoding by code point. ASCII letters and digits are kept; without
// encodeAll so are "!", "(", ")", "*", "-", "." and "_". Every other code point
// is written as "%" + upper-case hexadecimal: two digits up to U+00FF, four
// digits up to U+FFFF ("%263A"), and above that as its two UTF-16 surrogates of
// four digits each ("%D83D%DE00"), which is what servers already receive from
// existing clients. A byte that is not valid UTF-8 is written as "%" + its two
// digits.
std::string mfUrlEncode(std::string_view text, bool encodeAll);

// Splits text at every occurrence of delimiter (which may be several
// characters long) and appends the non-empty pieces to list. clear empties the
// list first; a positive reserve reserves that many entries. An empty text adds
// nothing; an empty delimiter adds the whole text as one piece.
void mfStrSplit(std::string_view text, std::string_view delimiter, std::vector<std::string>& list,
                bool clear = true, std::size_t reserve = 0);

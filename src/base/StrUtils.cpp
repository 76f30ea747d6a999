#include "base/StrUtils.h"

#include "base/StrConv.h"
#include "base/mfReportAssertion.h"

namespace {

constexpr char kQuote = '"';
constexpr const char* kHexDigits = "0123456789ABCDEF";
// The assertion report of an empty path carries this fixed line.
constexpr int kLineEmptyPathAssertion = 616;

bool PrvIsAsciiAlnum(char32_t cp) {
    return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9');
}

bool PrvIsUrlSafeMark(char32_t cp) {
    return cp == '!' || cp == '(' || cp == ')' || cp == '*' || cp == '-' || cp == '.' || cp == '_';
}

void PrvAppendHex(std::string& out, unsigned value, int digits) {
    out.push_back('%');
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out.push_back(kHexDigits[(value >> shift) & 0xF]);
    }
}

// Length of the white space that starts at pos, 0 when none does.
std::size_t PrvWhiteSpaceAt(std::string_view text, std::size_t pos) {
    std::size_t next = pos;
    char32_t cp = 0;
    if (!mfUtf8Decode(text, next, cp) || !mfIsWhiteSpace(cp)) return 0;
    return next - pos;
}

std::size_t PrvTrimStart(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t n = PrvWhiteSpaceAt(text, pos);
        if (n == 0) break;
        pos += n;
    }
    return pos;
}

// End of the text without its trailing white space. Walks forward so that a
// multi-byte space is recognised only on a character boundary.
std::size_t PrvTrimEnd(std::string_view text, std::size_t start) {
    std::size_t end = start;
    std::size_t pos = start;
    while (pos < text.size()) {
        const std::size_t n = PrvWhiteSpaceAt(text, pos);
        if (n != 0) {
            pos += n;
            continue;
        }
        char32_t cp = 0;
        mfUtf8Decode(text, pos, cp);
        end = pos;
    }
    return end;
}

// Next folded code point of text at pos; invalid bytes stand for themselves,
// shifted above the Unicode range so they never equal a real character.
char32_t PrvNextFolded(std::string_view text, std::size_t& pos) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80) {
        ++pos;
        return (c >= 'A' && c <= 'Z') ? c + 32u : c;
    }
    char32_t cp = 0;
    if (!mfUtf8Decode(text, pos, cp)) return 0x110000 + cp;
    return mfFoldCodePoint(cp);
}

}  // namespace

std::string mfStrQuotePath(std::string_view path) {
    if (path.empty()) return std::string(2, kQuote);
    std::string out;
    out.reserve(path.size() + 2);
    if (path.front() != kQuote) out.push_back(kQuote);
    out.append(path);
    if (path.back() != kQuote) out.push_back(kQuote);
    return out;
}

std::string mfStrGetDriveAndDirFromPath(std::string_view path) {
    if (path.empty()) {
        mfReportAssertion("mfStrGetDriveAndDirFromPath", __FILE__, kLineEmptyPathAssertion,
                          "!NARROW(\"strSourceName is invalid\")");
        return {};
    }
    const std::size_t slash = path.rfind(kPathSeparator);
    if (slash == std::string_view::npos) return {};
    return std::string(path.substr(0, slash + 1));
}

std::string mfStrGetFileNameFromPath(std::string_view path) {
    const std::size_t slash = path.rfind(kPathSeparator);
    if (slash == std::string_view::npos) return std::string(path);
    return std::string(path.substr(slash + 1));
}

std::string mfPathJoin(std::string_view a, std::string_view b) {
    if (a.empty()) return std::string(b);
    if (b.empty()) return std::string(a);
    while (!a.empty() && a.back() == kPathSeparator) a.remove_suffix(1);
    while (!b.empty() && b.front() == kPathSeparator) b.remove_prefix(1);
    std::string out;
    out.reserve(a.size() + 1 + b.size());
    out.append(a);
    out.push_back(kPathSeparator);
    out.append(b);
    return out;
}

bool mfIsWhiteSpace(char32_t cp) noexcept {
    if (cp < 0x80) return cp == ' ' || (cp >= 0x09 && cp <= 0x0D);
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
           cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

std::string mfStrTrimLeft(std::string_view text) { return std::string(text.substr(PrvTrimStart(text))); }

std::string mfStrTrimRight(std::string_view text) { return std::string(text.substr(0, PrvTrimEnd(text, 0))); }

std::string mfStrTrim(std::string_view text) {
    const std::size_t start = PrvTrimStart(text);
    return std::string(text.substr(start, PrvTrimEnd(text, start) - start));
}

std::string mfStrStripTrailing(std::string_view text, char c) {
    while (!text.empty() && text.back() == c) text.remove_suffix(1);
    return std::string(text);
}

int mfStrCompareNoCase(std::string_view a, std::string_view b) noexcept {
    std::size_t posA = 0;
    std::size_t posB = 0;
    while (posA < a.size() && posB < b.size()) {
        const char32_t ca = PrvNextFolded(a, posA);
        const char32_t cb = PrvNextFolded(b, posB);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (posA < a.size()) return 1;
    if (posB < b.size()) return -1;
    return 0;
}

std::string mfUrlEncode(std::string_view text, bool encodeAll) {
    std::string out;
    out.reserve(text.size() * 3);
    std::size_t pos = 0;
    while (pos < text.size()) {
        char32_t cp = 0;
        if (!mfUtf8Decode(text, pos, cp)) {
            PrvAppendHex(out, static_cast<unsigned>(cp), 2);
        } else if (PrvIsAsciiAlnum(cp) || (!encodeAll && PrvIsUrlSafeMark(cp))) {
            out.push_back(static_cast<char>(cp));
        } else if (cp <= 0xFF) {
            PrvAppendHex(out, cp, 2);
        } else if (cp <= 0xFFFF) {
            PrvAppendHex(out, cp, 4);
        } else {
            PrvAppendHex(out, 0xD800 + ((cp - 0x10000) >> 10), 4);
            PrvAppendHex(out, 0xDC00 + ((cp - 0x10000) & 0x3FF), 4);
        }
    }
    return out;
}

void mfStrSplit(std::string_view text, std::string_view delimiter, std::vector<std::string>& list, bool clear,
                std::size_t reserve) {
    if (clear) list.clear();
    if (reserve > 0) list.reserve(reserve);
    if (text.empty()) return;
    if (delimiter.empty()) {
        list.emplace_back(text);
        return;
    }
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t found = text.find(delimiter, pos);
        const std::size_t end = found == std::string_view::npos ? text.size() : found;
        if (end > pos) list.emplace_back(text.substr(pos, end - pos));
        if (found == std::string_view::npos) break;
        pos = found + delimiter.size();
    }
}
